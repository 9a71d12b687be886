// Packets read, filtered, keyed and numbered by flow on a thread of their
// own, so that the thread that writes them, which the system calls keep
// busy, only writes. Frames cross the queue borrowed: the caller keeps the input
// alive until it is done with every packet.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "flow/connection.hpp"
#include "flow/duplicates.hpp"
#include "flow/filter.hpp"
#include "flow/flow_table.hpp"
#include "flow/fragments.hpp"
#include "flow/packet_queue.hpp"
#include "flow/source.hpp"
#include "flow/strategy.hpp"
#include "parser/capture.hpp"
#include "util/call.hpp"
#include "util/result.hpp"

namespace flowsieve {

class KeyedPacketStream {
public:
    KeyedPacketStream();
    // Joins the reading thread on every path out.
    ~KeyedPacketStream();
    KeyedPacketStream(const KeyedPacketStream&) = delete;
    KeyedPacketStream& operator=(const KeyedPacketStream&) = delete;

    // Rewrites a key text in place before it is numbered; keys that become
    // alike share a flow.
    using KeyRewrite = void (*)(char* key, size_t size);

    // Where packets are keyed and numbered: on the reading thread, so that a
    // consumer that writes only writes; or as the consumer takes each one,
    // for a consumer whose own work is light, so that the two threads share
    // the work.
    enum class Keying : uint8_t { Reading, Consuming };

    // Keys are made in `form`; a rewrite applies to texts only.
    Status<CallError> start(std::unique_ptr<CaptureReader> reader, SplitStrategy strategy, PacketFilter filter,
                            KeyForm form, KeyRewrite rewrite = nullptr, Keying keying = Keying::Reading);

    // Waits for packets; how many are ready at the front, 0 at the end.
    size_t wait_front() { return queue_.wait_front(); }
    // Whether wait_front would return at once.
    bool front_ready() { return queue_.front_ready(); }
    // The i-th ready packet, keyed; taken once.
    const QueuedPacket& front(size_t i) {
        QueuedPacket& queued = queue_.front(i);
        if (queued.keys.count == QueuedPacket::kKeysPending) number_taken(queued);
        return queued;
    }
    void pop_front(size_t n) { queue_.pop_front(n); }

    // Input bytes read so far, for progress.
    uint64_t bytes_consumed() const { return bytes_consumed_.load(std::memory_order_relaxed); }
    // Of the packets the filters kept (those with a flow): later fragments
    // given their datagram's ports, those left with ports 0, and all of
    // them; known once all packets are in.
    uint64_t fragments_matched() const { return fragments_matched_.load(std::memory_order_relaxed); }
    uint64_t fragments_unmatched() const { return fragments_unmatched_.load(std::memory_order_relaxed); }
    uint64_t packets_kept() const { return packets_kept_.load(std::memory_order_relaxed); }
    // A last record cut off then ends the capture, noted rather than failing
    // it. Called before start.
    void end_at_cut_off() { end_at_cut_off_ = true; }
    // Packets are grouped by their innermost IP layers. Called before start.
    void decode_tunnels(TunnelMode mode) { tunnels_ = mode; }
    // Drops a packet that repeats one read just before (see
    // DuplicateWindow), counted in the notes. Called before start.
    void drop_duplicates() { dedup_ = true; }
    // The connection strategy's inactivity timeouts. Called before start.
    void set_idle_timeouts(const IdleTimeouts& idle) { idle_ = idle; }
    // Stops the reading thread and waits for it; how the reading ended: a
    // RuntimeError with the capture error's text, or nothing at the end of
    // the capture.
    Status<CallError> finish();
    // Whole once finish has returned.
    const ReadingNotes& notes() const { return notes_; }
    // Each flow's key by number, in the form asked for; whole once finish
    // has returned.
    const FlowTable& keys() const { return keys_; }

private:
    // The reading thread's loop, made once for each tunnel mode, so that
    // outer mode spends nothing on tunnels but the count of packets whose
    // IP layer looks like one's.
    template <TunnelMode M>
    void produce(CaptureReader& reader, const PacketFilter& filter);
    [[gnu::noinline]] void count_carried_tunnel(const IpTuple& ip);
    // Filters a packet and queues it, keyed and numbered unless the consumer
    // does that; false when the consumer is gone. Inlined, so that a capture
    // without fragments pays no call per packet.
    [[gnu::always_inline]] inline bool emit(ParsedPacket&& packet, const PacketFilter& filter);
    // Counts a dropped packet of `bytes` captured bytes; false when the consumer is gone.
    bool drop(uint32_t bytes);
    // Queues the run of dropped packets counted so far; false when the consumer is gone.
    bool emit_dropped();
    // Emits the packets that the fragment matcher lets go, in capture order.
    bool emit_released(const PacketFilter& filter);
    // Keys a queued packet and numbers its flows, on the thread that keys:
    // inlined on the reading thread, called where the consumer takes it.
    [[gnu::always_inline]] inline void number(QueuedPacket& queued);
    void number_taken(QueuedPacket& queued);
    // The flow of the packet's connection on the key whose first flow is
    // `first`: a new one, its key marked with the connection's number
    // ("_2", "_3", ...), when the packet starts the next connection.
    uint32_t connection_flow(uint32_t first, FlowKey& key, const ParsedPacket& packet);
    // Whether the packet continues the first connection on the key whose
    // first flow is `first`, recorded so: most packets of the strategy,
    // taken without a call.
    bool continues_first(uint32_t first, const ParsedPacket& packet) {
        if (first >= runs_.size()) return false;
        ConnectionRun* run = runs_[first].get();
        return run && run->latest == first && run->continues(packet, idle_);
    }

    SplitStrategy strategy_ = SplitStrategy::Session;
    KeyForm form_ = KeyForm::Text;
    KeyRewrite rewrite_ = nullptr;
    Keying keying_ = Keying::Reading;
    TunnelMode tunnels_ = TunnelMode::Outer;
    PacketQueue queue_;
    FlowTable keys_;  // written by the thread that keys only
    // The connection strategy's runs, by the key's first flow.
    std::vector<std::unique_ptr<ConnectionRun>> runs_;
    IdleTimeouts idle_;
    FragmentMatcher fragments_;  // the reading thread's
    std::atomic<uint64_t> bytes_consumed_{0};
    std::atomic<uint64_t> fragments_matched_{0};
    std::atomic<uint64_t> fragments_unmatched_{0};
    std::atomic<uint64_t> packets_kept_{0};
    // The reading thread's counts, published when it ends.
    uint64_t kept_ = 0;
    uint64_t kept_matched_ = 0;
    uint64_t kept_unmatched_ = 0;
    // Dropped packets not yet queued, and their captured bytes.
    uint64_t dropped_packets_ = 0;
    uint64_t dropped_bytes_ = 0;
    uint64_t dropped_runs_ = 0;  // queued
    bool panicked_ = false;
    bool end_at_cut_off_ = false;
    bool dedup_ = false;
    DuplicateWindow duplicates_;  // the reading thread's
    std::optional<CaptureError> error_;
    ReadingNotes notes_;  // written by the reading thread until it ends
    std::thread thread_;
};

}  // namespace flowsieve
