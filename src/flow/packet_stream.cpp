#include "flow/packet_stream.hpp"

#include <system_error>

#include "util/progress.hpp"

namespace flowsieve {
namespace {

constexpr size_t kQueueCapacity = 4096;  // a power of two
constexpr size_t kQueueBatch = 256;
// Runs of dropped packets handed over together: some 16,000 packets read, at
// most 64 MiB, between the consumer's progress reports.
constexpr size_t kDroppedRunsPerHandOver = 16;
static_assert((kQueueCapacity & (kQueueCapacity - 1)) == 0);
static_assert(FlowKey::kCapacity <= FlowTable::kMaxKeyLength);

// A later connection's key: the text with "_" and the connection's number,
// as later connections' stream files are named; four bytes more in a
// compact key, whose length then tells it apart.
void mark_connection(FlowKey& key, uint32_t number, KeyForm form) {
    if (form == KeyForm::Compact) {
        const uint8_t bytes[4] = {uint8_t(number >> 24), uint8_t(number >> 16), uint8_t(number >> 8), uint8_t(number)};
        key.append<4>(bytes);
        return;
    }
    key.append(std::string_view("_"));
    append_decimal(key, number);
}

}  // namespace

KeyedPacketStream::KeyedPacketStream() : queue_(kQueueCapacity, kQueueBatch) {}

KeyedPacketStream::~KeyedPacketStream() { (void)finish(); }

Status<CallError> KeyedPacketStream::start(std::unique_ptr<CaptureReader> reader, SplitStrategy strategy,
                                           PacketFilter filter, KeyForm form, KeyRewrite rewrite, Keying keying) {
    strategy_ = strategy;
    form_ = form;
    rewrite_ = form == KeyForm::Text ? rewrite : nullptr;
    keying_ = keying;
    // Frames cross the queue borrowed, so that neither thread touches the
    // input's shared count per packet.
    reader->lend_frames();
    reader->decode_tunnels(tunnels_);
    try {
        thread_ = std::thread([this, r = std::move(reader), f = std::move(filter)] {
            if (tunnels_ == TunnelMode::Inner) produce<TunnelMode::Inner>(*r, f);
            else produce<TunnelMode::Outer>(*r, f);
        });
    } catch (const std::system_error& e) {
        return CallError{CallError::Kind::Panic, std::string("failed to spawn thread: ") + e.what()};
    }
    return {};
}

void KeyedPacketStream::number(QueuedPacket& queued) {
    keys_into(queued.keys, strategy_, queued.packet, form_);
    for (uint8_t i = 0; i < queued.keys.count; ++i) {
        FlowKey& key = queued.keys.keys[i];
        if (rewrite_) rewrite_(key.data(), key.text().size());
        uint32_t flow = keys_.find(key.text());
        if (flow == FlowTable::kAbsent) flow = keys_.insert(key.text());
        if (strategy_ == SplitStrategy::Connection && !continues_first(flow, queued.packet)) [[unlikely]]
            flow = connection_flow(flow, key, queued.packet);
        queued.flows[i] = flow;
    }
}

uint32_t KeyedPacketStream::connection_flow(uint32_t first, FlowKey& key, const ParsedPacket& packet) {
    if (first >= runs_.size()) runs_.resize(first + 1);
    auto& run = runs_[first];
    if (!run) run = std::make_unique<ConnectionRun>(first);
    if (!run->next_starts(packet, idle_)) {
        if (run->latest != first) mark_connection(key, run->count, form_);
        return run->latest;
    }
    mark_connection(key, ++run->count, form_);
    run->latest = keys_.insert(key.text());
    return run->latest;
}

void KeyedPacketStream::count_carried_tunnel(const IpTuple& ip) {
    if (const auto kind = carried_tunnel(ip)) ++notes_.tunnel_packets[size_t(*kind)];
}

void KeyedPacketStream::number_taken(QueuedPacket& queued) { number(queued); }

bool KeyedPacketStream::emit(ParsedPacket&& packet, const PacketFilter& filter) {
    // A dropped packet takes no slot: only counts cross, a run at a time, so
    // that a run keeping little costs the consumer nothing but its progress.
    if (!filter.accepts(packet)) return drop(packet.incl_len);
    // Made up in its slot of the queue, so that it is not copied again.
    QueuedPacket* queued = queue_.next_slot();
    if (!queued) return false;
    queued->read_packets = uint32_t(dropped_packets_ + 1);
    queued->read_bytes = dropped_bytes_ + packet.incl_len;
    dropped_packets_ = dropped_bytes_ = 0;
    ++kept_;
    if (packet.fragment >= FragmentPart::Later) [[unlikely]]
        ++(packet.fragment == FragmentPart::Later ? kept_matched_ : kept_unmatched_);
    queued->packet = std::move(packet);  // its frame borrowed: see start
    if (keying_ == Keying::Reading) number(*queued);
    else queued->keys.count = QueuedPacket::kKeysPending;
    queue_.push();
    return true;
}

bool KeyedPacketStream::drop(uint32_t bytes) {
    ++dropped_packets_;
    dropped_bytes_ += bytes;
    return (dropped_packets_ < ProgressClock::kPackets && dropped_bytes_ < ProgressClock::kBytes) || emit_dropped();
}

bool KeyedPacketStream::emit_dropped() {
    QueuedPacket* queued = queue_.next_slot();
    if (!queued) return false;
    queued->keys.count = 0;
    queued->read_packets = uint32_t(dropped_packets_);
    queued->read_bytes = dropped_bytes_;
    dropped_packets_ = dropped_bytes_ = 0;
    queue_.push();
    if (++dropped_runs_ % kDroppedRunsPerHandOver == 0) queue_.hand_over();
    return true;
}

bool KeyedPacketStream::emit_released(const PacketFilter& filter) {
    while (fragments_.ready())
        if (!emit(fragments_.take(), filter)) return false;
    return true;
}

template <TunnelMode M>
void KeyedPacketStream::produce(CaptureReader& reader, const PacketFilter& filter) {
    try {
        bool consumer_gone = false;
        for (;;) {
            NextPacket next = reader.next_packet();
            if (auto* packet = std::get_if<ParsedPacket>(&next)) {
                // Progress needs no more than every few hundred packets.
                if ((++notes_.packets & 255) == 0)
                    bytes_consumed_.store(reader.bytes_consumed(), std::memory_order_relaxed);
                if constexpr (M == TunnelMode::Inner)
                    if (packet->tunnel.depth) ++notes_.tunnel_packets[size_t(packet->tunnel.outer)];
                if (!packet->ip) [[unlikely]] {
                    if (!decodes_link_type(packet->link_type) && notes_.undecoded++ == 0)
                        notes_.undecoded_link_type = packet->link_type;
                } else if (M == TunnelMode::Outer && might_carry_tunnel(packet->ip->protocol)) [[unlikely]] {
                    count_carried_tunnel(*packet->ip);
                }
                if (dedup_ && duplicates_.repeats(*packet)) [[unlikely]] {
                    ++notes_.duplicates;
                    consumer_gone = !drop(packet->incl_len);
                } else if (fragments_.takes(*packet)) [[unlikely]] {
                    fragments_.add(std::move(*packet));
                    consumer_gone = !emit_released(filter);
                } else {
                    consumer_gone = !emit(std::move(*packet), filter);
                }
                if (consumer_gone) break;
            } else if (auto* error = std::get_if<CaptureError>(&next)) {
                error_ = std::move(*error);
                break;
            } else {
                notes_.cut_off_at = std::get<EndOfCapture>(next).cut_off_at;
                break;
            }
        }
        if (!consumer_gone) {
            fragments_.finish();
            if (emit_released(filter) && dropped_packets_) emit_dropped();
        }
        bytes_consumed_.store(reader.bytes_consumed(), std::memory_order_relaxed);
        fragments_matched_.store(kept_matched_, std::memory_order_relaxed);
        fragments_unmatched_.store(kept_unmatched_, std::memory_order_relaxed);
        packets_kept_.store(kept_, std::memory_order_relaxed);
    } catch (...) {
        panicked_ = true;
    }
    queue_.close_sender();
}

Status<CallError> KeyedPacketStream::finish() {
    if (thread_.joinable()) {
        queue_.close_receiver();  // a consumer that stops early lets the reader stop within a batch
        thread_.join();
    }
    if (panicked_) return CallError::runtime("Producer thread panicked");
    if (error_ && end_at_cut_off_ && error_->cut_off_at) {
        notes_.cut_off_at = error_->cut_off_at;
        return {};
    }
    if (error_) return CallError::runtime(error_->text());
    return {};
}

}  // namespace flowsieve
