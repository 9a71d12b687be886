#include "arrays/flow_arrays.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "archive/mod.hpp"
#include "flow/community_id.hpp"
#include "flow/fragments.hpp"
#include "flow/packet_stream.hpp"
#include "flow/strategy.hpp"
#include "util/utf8.hpp"

namespace flowsieve::arrays {
namespace {

constexpr size_t kPageSize = 4096;
// Fewer packets than this are walked by one thread: a second would cost more than it saves.
constexpr uint64_t kTwoThreadPackets = 1 << 16;
constexpr size_t kTcpFlagsOffset = 13;

// Zeroes the IP header's addresses within the first n bytes of an IP packet.
void zero_addresses(uint8_t* ip, size_t n, uint8_t family) {
    const size_t begin = family == 4 ? 12 : 8;
    const size_t end = family == 4 ? 20 : 40;
    if (n > begin) std::memset(ip + begin, 0, std::min(n, end) - begin);
}

// A text column as NumPy's fixed-width unicode: four bytes a character,
// padded with zeros to the longest. Row i's (ASCII) text is
// chars[end(i - 1), end(i)), end(-1) being 0.
template <class End>
Array text_array(std::string name, std::string_view chars, size_t count, End end) {
    // Texts are UTF-8 (names are escaped to it); each row holds code points.
    auto points = [&](size_t begin, size_t stop, uint32_t* row) {
        size_t n = 0;
        for (size_t k = begin; k < stop;) {
            const auto c = utf8_at(chars.substr(0, stop), k);
            if (row) row[n] = c ? uint32_t(c->value) : 0xFFFD;
            ++n;
            k += c ? c->size : 1;
        }
        return n;
    };
    size_t width = 1;
    for (size_t i = 0, begin = 0; i < count; begin = size_t(end(i)), ++i)
        width = std::max(width, points(begin, size_t(end(i)), nullptr));
    Array out{std::move(name), "<U" + std::to_string(width), {count}, Column(width * 4, 0)};
    for (size_t i = 0, begin = 0; i < count; begin = size_t(end(i)), ++i)
        points(begin, size_t(end(i)), reinterpret_cast<uint32_t*>(out.data.add_row()));
    return out;
}

}  // namespace

Array names_array(std::string name, const std::vector<std::string>& names) {
    // Code points, a byte that is not UTF-8 as Python's os.fsdecode gives
    // it (U+DC80 to U+DCFF), so that the name opens the file it names.
    std::vector<std::u32string> texts;
    size_t width = 1;
    for (const std::string& n : names) {
        std::u32string& text = texts.emplace_back();
        for (size_t at = 0; at < n.size();) {
            const auto c = utf8_at(n, at);
            text += c ? c->value : char32_t(0xDC00 + uint8_t(n[at]));
            at += c ? c->size : 1;
        }
        width = std::max(width, text.size());
    }
    Array out{std::move(name), "<U" + std::to_string(width), {names.size()}, Column(width * 4, 0)};
    for (const std::u32string& text : texts) std::memcpy(out.data.add_row(), text.data(), text.size() * 4);
    return out;
}

namespace {

// The IP source address of a flow's packets, read in place where a
// packet's link-layer header repeats one of the last two seen with an IP
// layer behind it (in a flow, mostly one for each direction); any other
// packet is decoded whole. The link layers are told apart by the bytes
// before the IP header alone, so the same bytes there put the IP header at
// the same place; a header found there is taken as decoding takes it.
class SourceFinder {
public:
    // Nothing for a packet without an IP layer; the address lives until the next call.
    const IpAddress* find(const archive::PacketRecord& r) {
        for (const Link& link : links_) {
            if (link.link_type != r.link_type || !link.filled || link.size > r.incl_len || !link.starts(r.data))
                continue;
            if (read_source(r.data + link.size, r.incl_len - link.size)) return &source_;
            break;
        }
        const ParsedPacket p = archive::decode_packet(r);
        if (!p.ip) return nullptr;
        const auto layout = locate_ip(p, false);
        if (layout && layout->ip_offset <= kMaxLink) {
            Link& link = links_[next_];
            next_ ^= 1;
            link.link_type = r.link_type;
            link.size = uint32_t(layout->ip_offset);
            link.filled = true;
            std::memcpy(link.bytes, r.data, link.size);
        }
        source_ = p.ip->src_ip;
        return &source_;
    }

private:
    static constexpr size_t kMaxLink = 128;
    static constexpr size_t kEthernetSize = 14;
    struct Link {
        uint32_t link_type = 0;
        uint32_t size = 0;
        bool filled = false;
        uint8_t bytes[kMaxLink];

        // Ethernet's 14 bytes compared inline.
        bool starts(const uint8_t* frame) const {
            return size == kEthernetSize ? std::memcmp(bytes, frame, kEthernetSize) == 0
                                         : std::memcmp(bytes, frame, size) == 0;
        }
    };

    // The source of an IP header that decoding takes whole, into source_:
    // IPv4 with all its header words present, or IPv6 whose next header
    // ends the chain (TCP, UDP, ICMPv6). False for any other: it is decoded whole.
    bool read_source(const uint8_t* ip, size_t n) {
        if (n >= 20 && ip[0] >> 4 == 4 && (ip[0] & 0x0F) >= 5 && size_t(ip[0] & 0x0F) * 4 <= n) {
            source_.family = 4;
            std::memcpy(source_.bytes.data(), ip + 12, 4);
            return true;
        }
        if (n >= 40 && ip[0] >> 4 == 6 && (ip[6] == kIpProtoTcp || ip[6] == kIpProtoUdp || ip[6] == kIpProtoIcmpv6)) {
            source_.family = 6;
            std::memcpy(source_.bytes.data(), ip + 8, 16);
            return true;
        }
        return false;
    }

    Link links_[2];
    unsigned next_ = 0;
    IpAddress source_;
};

// Maps the archive's pages in one call: a walk through most of an
// archive's packets touches nearly every page of it, in no order the
// kernel could foresee, and pages mapped in one call cost far less than
// the faults of a walk that finds them unmapped. A failure (an older
// kernel) leaves them to the faults.
void map_pages(ByteView file) {
#ifdef MADV_POPULATE_READ
    ::madvise(const_cast<uint8_t*>(file.data()), file.size(), MADV_POPULATE_READ);
#else
    (void)file;
#endif
}

// Maps a capture's pages a little ahead of its reading thread, from the
// consumer's while it would wait for packets: the faults of a mapped capture
// otherwise all fall on the reading thread, which works as much as the
// consumer, and this way the consumer takes no more of them than it has
// time for.
class PagesAhead {
public:
    // Nothing for an input that is not a mapping of its own (standard input).
    PagesAhead(const SharedBytes& input, bool mapped) : input_(mapped ? input.view() : ByteView()) {}

    // Maps the next pages when the reading thread, `consumed` bytes in, is
    // near them; false when none are left to map there.
    bool step(uint64_t consumed) {
        // Steps start at whole steps from the mapping's start, so at whole pages.
        done_ = std::max(done_, std::min<uint64_t>(consumed, input_.size()) / kStep * kStep);
        if (done_ >= input_.size() || done_ >= consumed + kAhead) return false;
        const size_t n = size_t(std::min<uint64_t>(kStep, input_.size() - done_));
        map_pages(ByteView(input_.data() + done_, n));
        done_ += n;
        return true;
    }

private:
    static constexpr uint64_t kStep = 256 << 10;
    static constexpr uint64_t kAhead = 8 << 20;
    ByteView input_;
    uint64_t done_ = 0;
};

// How far a walk through flows has got, for progress: each count grows
// as a flow is done, and may be read from another thread.
struct WalkCounts {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> flows{0};
};

// Fills the rows of flows [begin, end) of the list, the first being `row`,
// with their packets. Asks keep_going() every so many packets; false when
// it refuses.
template <class KeepGoing>
bool walk_flows(Builder& builder, const archive::ArchiveReader& reader, const archive::FlowList& flows, size_t begin,
                size_t end, size_t row, WalkCounts& counts, KeepGoing&& keep_going) {
    SourceFinder sources;
    ProgressClock clock;
    // A flow's later fragments are given their datagram's ports (and held
    // until its first fragment comes) as reading the capture gives them:
    // in a flow from an address to itself they tell the directions.
    std::optional<FragmentMatcher> fragments;
    auto add = [&](size_t row, ParsedPacket&& p) {
        if (!fragments && p.fragment == FragmentPart::None) return builder.add_packet(row, p);
        if (!fragments) fragments.emplace();
        fragments->add(std::move(p));
        while (fragments->ready()) builder.add_packet(row, fragments->take());
    };
    for (size_t i = begin; i < end; ++i, ++row) {
        auto cursor = archive::ReadAheadCursor::of(reader, *flows[i]);
        if (!cursor) continue;  // cannot happen: checked as its row was added
        uint64_t bytes = 0;
        uint64_t packets = 0;
        fragments.reset();
        // The packets the row wants whole decoded; the rest only counted:
        // their record headers and source addresses.
        for (std::optional<archive::PacketRecord> r; (r = cursor->next()); ++packets) {
            if (clock.tick(r->incl_len) && !keep_going()) return false;
            bytes += r->record_size();
            if (builder.wants_packet(row, r->time()) || (fragments && fragments->waiting()))
                add(row, archive::decode_packet(*r));
            else
                builder.add_count(row, r->time(), r->orig_len, builder.needs_source(row) ? sources.find(*r) : nullptr);
        }
        if (fragments) {
            fragments->finish();
            while (fragments->ready()) builder.add_packet(row, fragments->take());
        }
        counts.bytes.fetch_add(bytes, std::memory_order_relaxed);
        counts.packets.fetch_add(packets, std::memory_order_relaxed);
        counts.flows.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

}  // namespace

static_assert(Shape::kMaxPayloadBytes == uint32_t(std::numeric_limits<int32_t>::max()));

uint8_t* Column::add_row() {
    const size_t end = (rows_ + 1) * row_bytes_;
    if (end > map_.capacity()) map_.reserve(std::max(end, 2 * map_.capacity()));
    uint8_t* r = row(rows_++);
    if (fill_ && row_bytes_) std::memset(r, fill_, row_bytes_);  // fresh pages are zero
    return r;
}

Builder::Builder(Shape shape)
    : shape_(shape),
      sizes_(sizeof(int32_t) * shape.packets, 0xFF),
      directions_(shape.packets, 0xFF),
      iat_(sizeof(int64_t) * shape.packets, 0xFF),
      tcp_flags_(shape.packets, 0),
      packet_bytes_(size_t(shape.packets) * shape.packet_bytes, 0),
      payload_(shape.payload_bytes, 0) {}

size_t Builder::add_flow(const FlowHead& head, uint32_t source) {
    keys_.append(head.key);
    FlowState& f = flows_.emplace_back();
    f.id = head.id;
    f.src_addr = head.src_addr;
    f.dst_addr = head.dst_addr;
    f.flags = head.flags;
    f.src_port = head.src_port;
    f.dst_port = head.dst_port;
    f.proto = head.proto;
    f.source = source;
    f.key_end = keys_.size();
    community_ids_.append(kCommunityIdSize, '\0');
    for (Column* c : {&sizes_, &directions_, &iat_, &tcp_flags_, &packet_bytes_, &payload_}) c->add_row();
    return flows_.size() - 1;
}

void Builder::add_packet(size_t row, const ParsedPacket& p) {
    FlowState& f = flows_[row];
    const int64_t ns = nanos(p.time());
    const uint64_t index = f.packets;
    if (index == 0) {
        f.has_ip = p.ip.has_value();
        if (p.ip) {
            f.first_src = p.ip->src_ip;
            f.first_src_port = p.ip->src_port;
            f.loop = p.ip->src_ip == p.ip->dst_ip;
            // Of the first packet, as the archive's Flow gives it.
            const std::string id = community_id(*p.ip);
            if (id.size() == kCommunityIdSize) id.copy(community_ids_.data() + row * kCommunityIdSize, kCommunityIdSize);
        }
        f.start_ns = ns;
    }
    const bool forward = Builder::forward(f, p.ip ? &p.ip->src_ip : nullptr, p.ip ? p.ip->src_port : 0);
    const size_t kept = size_t(std::min<uint64_t>(index, shape_.packets));
    if (const size_t slot = slot_for(row, kept, ns); slot < shape_.packets) {
        if (slot < kept) make_room(row, slot, kept);
        sizes_.row_of<int32_t>(row)[slot] = int32_t(std::min<uint32_t>(p.orig_len, std::numeric_limits<int32_t>::max()));
        directions_.row_of<int8_t>(row)[slot] = forward ? 0 : 1;
        times(row)[slot] = ns;
        // The headers' places, for these first packets only and when needed.
        const bool tcp = p.ip && p.ip->protocol == kIpProtoTcp;
        const std::optional<IpLayout> layout =
            p.ip && (tcp || shape_.packet_bytes) ? locate_ip(p, tcp) : std::nullopt;
        if (layout && tcp && layout->transport_offset &&
            *layout->transport_offset + kTcpFlagsOffset < p.data.size())
            tcp_flags_.row(row)[slot] = p.data.data()[*layout->transport_offset + kTcpFlagsOffset];
        if (layout && shape_.packet_bytes) {
            uint8_t* out = packet_bytes_.row(row) + slot * shape_.packet_bytes;
            const size_t n = std::min<size_t>(shape_.packet_bytes, p.data.size() - layout->ip_offset);
            std::memcpy(out, p.data.data() + layout->ip_offset, n);
            if (shape_.anonymize) zero_addresses(out, n, p.ip->src_ip.family);
        }
    }
    if (p.payload_offset && f.payload_len < shape_.payload_bytes) {
        const size_t offset = size_t(*p.payload_offset);
        if (offset < p.payload_end) {
            const size_t n = std::min<size_t>(shape_.payload_bytes - f.payload_len, size_t(p.payload_end) - offset);
            std::memcpy(payload_.row(row) + f.payload_len, p.data.data() + offset, n);
            f.payload_len += uint32_t(n);
        }
    }
    count(f, ns, p.orig_len, forward);
}

void Builder::make_room(size_t row, size_t slot, size_t kept) {
    const size_t moved = std::min<size_t>(kept, shape_.packets - 1) - slot;
    auto shift = [&](Column& c, size_t size) {
        if (size == 0) return;  // a column not asked for has no rows
        uint8_t* at = c.row(row) + slot * size;
        std::memmove(at + size, at, moved * size);
        std::memset(at, 0, size);
    };
    shift(sizes_, sizeof(int32_t));
    shift(directions_, 1);
    shift(iat_, sizeof(int64_t));
    shift(tcp_flags_, 1);
    shift(packet_bytes_, shape_.packet_bytes);
}

std::vector<Array> Builder::finish(bool with_source) {
    const size_t n = flows_.size();
    const uint64_t k = shape_.packets;
    // The kept packets' times become their gaps, the first's 0.
    for (size_t row = 0; row < n; ++row) {
        int64_t* t = times(row);
        for (size_t i = size_t(std::min(flows_[row].packets, k)); i-- > 1;) t[i] -= t[i - 1];
        if (flows_[row].packets && k) t[0] = 0;
    }
    std::vector<Array> out;
    auto scalar = [&](const char* name, const char* dtype, size_t size, auto value) {
        Array a{name, dtype, {n}, Column(size, 0)};
        for (const FlowState& f : flows_) {
            const auto v = value(f);
            std::memcpy(a.data.add_row(), &v, size);
        }
        out.push_back(std::move(a));
    };
    auto column = [&](const char* name, const char* dtype, std::vector<uint64_t> shape, Column& c) {
        out.push_back({name, dtype, std::move(shape), std::move(c)});
    };
    // Each address's text made once, for the width and then the row.
    auto addresses = [&](const char* name, archive::StoredAddress FlowState::*field) {
        std::string chars;
        std::vector<uint64_t> ends(n);
        for (size_t i = 0; i < n; ++i) {
            chars += archive::short_address_text(
                archive::decode_address(flows_[i].*field, flows_[i].flags & archive::kFlowMappedIpv6));
            ends[i] = chars.size();
        }
        out.push_back(text_array(name, chars, n, [&](size_t i) { return ends[i]; }));
    };
    scalar("id", "<u4", 4, [](const FlowState& f) { return uint32_t(f.id); });
    scalar("proto", "|u1", 1, [](const FlowState& f) { return f.proto; });
    scalar("src_port", "<u2", 2, [](const FlowState& f) { return f.src_port; });
    scalar("dst_port", "<u2", 2, [](const FlowState& f) { return f.dst_port; });
    addresses("src_addr", &FlowState::src_addr);
    addresses("dst_addr", &FlowState::dst_addr);
    out.push_back(text_array("key", keys_, n, [&](size_t i) { return flows_[i].key_end; }));
    keys_ = std::string();
    // A flow without an IP layer has none: its row is all zeros, which NumPy reads as "".
    out.push_back(text_array("community_id", community_ids_, n, [](size_t i) { return (i + 1) * kCommunityIdSize; }));
    community_ids_ = std::string();
    scalar("start_ns", "<i8", 8, [](const FlowState& f) { return f.start_ns; });
    scalar("end_ns", "<i8", 8, [](const FlowState& f) { return f.end_ns; });
    scalar("packet_count", "<u8", 8, [](const FlowState& f) { return f.packets; });
    scalar("byte_count", "<u8", 8, [](const FlowState& f) { return f.bytes; });
    scalar("fwd_packets", "<u8", 8, [](const FlowState& f) { return f.fwd_packets; });
    scalar("fwd_bytes", "<u8", 8, [](const FlowState& f) { return f.fwd_bytes; });
    scalar("bwd_packets", "<u8", 8, [](const FlowState& f) { return f.packets - f.fwd_packets; });
    scalar("bwd_bytes", "<u8", 8, [](const FlowState& f) { return f.bytes - f.fwd_bytes; });
    column("sizes", "<i4", {n, k}, sizes_);
    column("directions", "|i1", {n, k}, directions_);
    column("iat_ns", "<i8", {n, k}, iat_);
    column("tcp_flags", "|u1", {n, k}, tcp_flags_);
    column("packet_bytes", "|u1", {n, k, shape_.packet_bytes}, packet_bytes_);
    column("payload", "|u1", {n, shape_.payload_bytes}, payload_);
    scalar("payload_len", "<i4", 4, [](const FlowState& f) { return int32_t(f.payload_len); });
    {
        std::string names, apps;
        std::vector<uint64_t> name_ends(n), app_ends(n);
        for (size_t i = 0; i < n; ++i) {
            if (flows_[i].name) names += names_[flows_[i].name - 1];
            apps += app_name(App(flows_[i].app));
            name_ends[i] = names.size();
            app_ends[i] = apps.size();
        }
        out.push_back(text_array("server_name", names, n, [&](size_t i) { return name_ends[i]; }));
        out.push_back(text_array("app", apps, n, [&](size_t i) { return app_ends[i]; }));
        names_ = std::vector<std::string>();
    }
    connections_.resize(n);
    auto conn = [&](const char* name, uint64_t ConnSummary::*count) {
        Array a{name, "<u8", {n}, Column(8, 0)};
        for (const ConnSummary& c : connections_) std::memcpy(a.data.add_row(), &(c.*count), 8);
        out.push_back(std::move(a));
    };
    conn("orig_packets", &ConnSummary::orig_packets);
    conn("orig_ip_bytes", &ConnSummary::orig_ip_bytes);
    conn("resp_packets", &ConnSummary::resp_packets);
    conn("resp_ip_bytes", &ConnSummary::resp_ip_bytes);
    {
        Array flipped{"flipped", "|b1", {n}, Column(1, 0)};
        std::string states, histories;
        std::vector<uint64_t> state_ends(n), history_ends(n);
        for (size_t i = 0; i < n; ++i) {
            *flipped.data.add_row() = connections_[i].flipped;
            states += conn_state_name(connections_[i].state);
            histories += connections_[i].history;
            state_ends[i] = states.size();
            history_ends[i] = histories.size();
        }
        out.push_back(std::move(flipped));
        out.push_back(text_array("state", states, n, [&](size_t i) { return state_ends[i]; }));
        out.push_back(text_array("history", histories, n, [&](size_t i) { return history_ends[i]; }));
        connections_ = std::vector<ConnSummary>();
    }
    if (with_source) scalar("source", "<u4", 4, [](const FlowState& f) { return f.source; });
    flows_ = std::vector<FlowState>();
    return out;
}

Status<CallError> add_capture(Builder& builder, const CaptureInput& in, uint32_t source) {
    auto strategy = choose_strategy(in.strategy);
    if (!strategy) return std::move(strategy).error();
    auto tunnels = choose_tunnels(in.tunnels);
    if (!tunnels) return std::move(tunnels).error();
    auto opened = open_flow_source(in.path, in.ip_filters, in.port_filters, in.observer, in.frame_filter);
    if (!opened) return std::move(opened).error();
    const uint64_t input_size = opened->input.size();

    // Flows are numbered as the archive builder numbers them, from compact
    // keys; the text of a key is made once, for the flow's first packet.
    // Filling the arrays costs less than reading, so packets are keyed here.
    KeyedPacketStream packets;
    if (in.notes) packets.end_at_cut_off();
    packets.decode_tunnels(tunnels.value());
    if (in.dedup) packets.drop_duplicates();
    packets.set_idle_timeouts(in.idle);
    if (auto st = packets.start(std::move(opened->reader), strategy.value(), std::move(opened->filter),
                                KeyForm::Compact, nullptr, KeyedPacketStream::Keying::Consuming);
        !st)
        return st;
    const size_t first_row = builder.flows();
    std::vector<NamingSlot> naming;  // by row - first_row
    std::vector<ConnTracker> connections;  // by row - first_row
    std::vector<std::optional<IpTuple>> firsts;  // the IP layer of each flow's first packet
    // The connection strategy's later connections on a key are named as
    // split names their files: the key, "_" and the connection's number.
    std::unordered_map<std::string, uint32_t> connections_on_key;
    ProgressClock clock;
    auto report = [&] {
        return in.observer->keep_going({packets.bytes_consumed(), input_size, clock.packets(),
                                        builder.flows() - first_row, packets.fragments_matched(),
                                        packets.fragments_unmatched()});
    };
    PagesAhead ahead(opened->input, in.path != "-");
    for (;;) {
        while (!packets.front_ready() && ahead.step(packets.bytes_consumed())) {
        }
        const size_t ready = packets.wait_front();
        if (!ready) break;
        for (size_t i = 0; i < ready; ++i) {
            const QueuedPacket& queued = packets.front(i);
            const ParsedPacket& packet = queued.packet;
            if (clock.tick(queued.read_bytes, queued.read_packets) && in.observer && !report())
                return CallError::interrupted();
            for (uint8_t k = 0; k < queued.keys.count; ++k) {
                const size_t row = first_row + queued.flows[k];
                if (row == builder.flows()) {
                    FlowKeys texts = keys_for(strategy.value(), packet, KeyForm::Text);
                    FlowKey& text = texts.keys[k];
                    sanitize_key(text.data(), text.text().size());
                    std::string numbered;
                    if (strategy.value() == SplitStrategy::Connection) [[unlikely]] {
                        const uint32_t number = ++connections_on_key[std::string(text.text())];
                        if (number > 1) numbered = std::string(text.text()) + "_" + std::to_string(number);
                    }
                    FlowHead head;
                    head.id = uint64_t(queued.flows[k]) + 1;
                    if (packet.ip) {
                        head.proto = packet.ip->protocol;
                        head.src_addr = archive::encode_address(packet.ip->src_ip);
                        head.dst_addr = archive::encode_address(packet.ip->dst_ip);
                        head.src_port = packet.ip->src_port;
                        head.dst_port = packet.ip->dst_port;
                        head.flags = archive::FlowRecord::flags_for(packet.ip->src_ip, packet.ip->dst_ip);
                    }
                    head.key = numbered.empty() ? text.text() : std::string_view(numbered);
                    builder.add_flow(head, source);
                    naming.emplace_back();
                    connections.emplace_back();
                    firsts.push_back(packet.ip);
                }
                builder.add_packet(row, packet);
                NamingSlot& slot = naming[row - first_row];
                slot.add(packet, firsts[row - first_row]);
                connections[row - first_row].add(packet, firsts[row - first_row]);
            }
        }
        packets.pop_front(ready);
    }
    if (auto st = packets.finish(); !st) return CallError(std::move(st).error()).about(in.path);
    if (in.notes) *in.notes = packets.notes();
    for (size_t i = 0; i < naming.size(); ++i) {
        builder.name_flow(first_row + i, naming[i].app(), naming[i].name());
        builder.connect_flow(first_row + i, connections[i].summary());
    }
    if (in.observer && !report()) return CallError::interrupted();
    return {};
}

Status<CallError> add_archive(Builder& builder, const archive::ArchiveReader& reader, const archive::FlowList& flows,
                              uint32_t source, ProgressObserver* observer) {
    // A damaged archive adds no row: one that is skipped leaves the others' arrays whole.
    for (const archive::FlowRecord* record : flows) {
        if (record->id > std::numeric_limits<uint32_t>::max())
            return CallError::runtime("Flow id " + std::to_string(record->id) + " exceeds 4294967295");
        if (auto offsets = archive::OffsetCursor::of(reader, *record); !offsets)
            return CallError::runtime(offsets.error().message);
    }
    // Every row first, in the list's order, so that two threads can then
    // fill rows apart without moving them.
    const size_t first_row = builder.flows();
    uint64_t packets = 0;
    for (const archive::FlowRecord* record : flows) {
        // The key of the flow's fields: no IP layer leaves them all zero.
        ParsedPacket fields;
        if (record->has_ip()) {
            IpTuple& t = fields.ip.emplace();
            t.protocol = record->proto;
            t.src_ip = record->src_ip();
            t.dst_ip = record->dst_ip();
            t.src_port = record->src_port;
            t.dst_port = record->dst_port;
        }
        const std::optional<archive::FlowFields> stored = reader.fields(*record);
        if (stored) fields.tunnel.set_vni(stored->vni);
        FlowKeys keys = keys_for(SplitStrategy::Session, fields, KeyForm::Text);
        sanitize_key(keys.keys[0].data(), keys.keys[0].text().size());
        const size_t row = builder.add_flow({record->id, record->proto, record->src_addr, record->dst_addr,
                                             record->src_port, record->dst_port, keys.keys[0].text(), record->flags},
                                            source);
        if (stored) {
            builder.name_flow(row, app_of_name(stored->app).value_or(App::None), stored->server_name);
            if (stored->connection) builder.connect_flow(row, std::move(*stored->connection));
        }
        packets += record->packet_count;
    }

    // Mapped first, when the walk reads most pages: mapping them costs
    // the same from one thread or two. Many packets are then walked by two
    // threads, the second through the later flows, from about half of them.
    const ByteView file = reader.mapping();
    if (packets * kPageSize >= file.size()) map_pages(file);
    size_t split = flows.size();
    if (packets >= kTwoThreadPackets) {
        uint64_t half = 0;
        for (split = 0; split < flows.size() && half < packets / 2; ++split) half += flows[split]->packet_count;
    }
    WalkCounts mine;
    WalkCounts theirs;
    std::atomic<bool> stop{false};
    std::exception_ptr failure;  // of the other thread, raised here as this thread's would be
    std::thread other;
    if (split < flows.size()) {
        try {
            other = std::thread([&] {
                try {
                    walk_flows(builder, reader, flows, split, flows.size(), first_row + split, theirs,
                               [&] { return !stop.load(std::memory_order_relaxed); });
                } catch (...) {
                    failure = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            split = flows.size();  // no second thread: this one walks them all
        }
    }
    auto report = [&] {
        const uint64_t flows_done = mine.flows.load() + theirs.flows.load();
        return !observer || observer->keep_going({mine.bytes.load() + theirs.bytes.load(), file.size(),
                                                  mine.packets.load() + theirs.packets.load(), flows_done, 0, 0});
    };
    bool finished = false;
    {
        // Joined on every way out, told to stop on any but the end of this thread's walk.
        struct Join {
            std::thread& thread;
            std::atomic<bool>& stop;
            const bool& finished;
            ~Join() {
                if (!finished) stop = true;
                if (thread.joinable()) thread.join();
            }
        } join{other, stop, finished};
        finished = walk_flows(builder, reader, flows, 0, split, first_row, mine, report);
    }
    if (failure) std::rethrow_exception(failure);
    if (!finished || !report()) return CallError::interrupted();
    return {};
}

}  // namespace flowsieve::arrays
