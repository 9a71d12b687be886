#include "archive/mod.hpp"

#include <cstdio>
#include <cstring>

#include "flow/community_id.hpp"
#include "flow/filter.hpp"
#include "flow/reassembly.hpp"
#include "flow/strategy.hpp"
#include "parser/pcap_format.hpp"

namespace flowsieve::archive {
namespace {

struct ProtocolName {
    const char* lowered;
    const char* shown;
    uint8_t number;
};
constexpr ProtocolName kProtocols[] = {{"tcp", "TCP", 6}, {"udp", "UDP", 17}, {"icmp", "ICMP", 1}, {"icmpv6", "ICMPv6", 58}};

// The flows that match, each once: those the index lists under the key, in
// its order, or those of the table when there is no index. The index only
// proposes: a damaged one may list flows that do not match.
template <class Matches>
FlowList select(const ArchiveReader& reader, IndexSection section, ByteView key, Matches matches) {
    FlowList out;
    if (!reader.index()) {
        for (const FlowRecord& r : reader.records())
            if (matches(r)) out.push_back(&r);
        return out;
    }
    add_indexed_flows(reader, index_lookup(*reader.index(), section, key), matches, out);
    return out;
}

}  // namespace

ByteView index_lookup(const ArchiveIndex& index, IndexSection section, ByteView key) {
    const ByteView bytes = index.bytes;
    const SectionExtent& extent = index.header[section];
    const size_t k = key.size();
    if (extent.length < 4 || extent.offset > bytes.size()) return {};
    const size_t base = kIndexHeaderSize + size_t(extent.offset);  // cannot overflow: offset <= size
    if (!bytes.has(base, extent.length)) return {};
    const size_t end = base + extent.length;
    uint32_t groups = decode_u32(bytes.data() + base, ByteOrder::Little);
    for (size_t pos = base + 4; groups != 0; --groups) {
        if (pos + k + 4 > end) return {};
        const uint64_t count = decode_u32(bytes.data() + pos + k, ByteOrder::Little);
        const size_t ids_at = pos + k + 4;
        if (8 * count > end - ids_at) return {};
        if (std::memcmp(bytes.data() + pos, key.data(), k) == 0) return *bytes.sub(ids_at, size_t(8 * count));
        pos = ids_at + 8 * count;
    }
    return {};
}

FlowList all_flows(const ArchiveReader& reader) {
    FlowList out;
    out.reserve(reader.records().size());
    for (const FlowRecord& r : reader.records()) out.push_back(&r);
    return out;
}

const FlowRecord* get_flow(const ArchiveReader& reader, uint64_t id) { return reader.find_id(id); }

Result<FlowList> find_by_ip(const ArchiveReader& reader, std::string_view text) {
    auto address = parse_ip_address(text);
    if (!address) return Error{"invalid IP address syntax"};
    const StoredAddress key = encode_address(*address);
    return select(reader, IndexSection::Address, ByteView(key.data(), key.size()),
                  [&](const FlowRecord& r) { return r.src_addr == key || r.dst_addr == key; });
}

FlowList find_by_port(const ArchiveReader& reader, uint16_t port) {
    uint8_t key[2];
    encode_u16le(key, port);
    return select(reader, IndexSection::Port, ByteView(key, sizeof key),
                  [&](const FlowRecord& r) { return r.src_port == port || r.dst_port == port; });
}

Result<FlowList> find_by_protocol(const ArchiveReader& reader, const std::string& lowered_name) {
    if (auto number = protocol_number(lowered_name))
        return select(reader, IndexSection::Protocol, ByteView(&*number, 1),
                      [&](const FlowRecord& r) { return r.proto == *number; });
    return Error{"Unknown protocol: " + lowered_name + ". Valid: tcp, udp, icmp, icmpv6"};
}

FrameFileFormat export_format(const ArchiveReader& reader, const std::vector<PacketRecord>& packets) {
    FrameFileFormat format = reader.frame_format();
    for (const PacketRecord& p : packets) format.snap_length = std::max(format.snap_length, p.incl_len);
    return format;
}

Result<FlowPcap> FlowPcap::of(const ArchiveReader& reader, const FlowRecord& record, ExportBudget& budget,
                              std::optional<uint32_t> only) {
    auto packets = read_packets(reader, record);
    if (!packets) return std::move(packets).error();
    FlowPcap pcap;
    pcap.packets_ = std::move(packets).value();
    std::erase_if(pcap.packets_, [&](const PacketRecord& p) {
        return (only && p.link_type != *only) || !budget.take(p.record_size());
    });
    pcap.format_ = export_format(reader, pcap.packets_);
    if (only) pcap.format_.link_types = {*only};
    pcap.size_ = pcap.format_.file_header().size();
    for (const PacketRecord& p : pcap.packets_) pcap.size_ += size_t(pcap.format_.record_size(p.incl_len));
    return pcap;
}

void FlowPcap::write(uint8_t* out) const {
    stream([&](const uint8_t* data, size_t size) {
        std::memcpy(out, data, size);
        out += size;
        return true;
    });
}

std::optional<std::string> flow_community_id(const ArchiveReader& reader, const FlowRecord& record) {
    static constexpr StoredAddress kNone{};
    if (record.src_addr == kNone && record.dst_addr == kNone) return std::nullopt;
    IpTuple tuple;
    tuple.src_ip = record.src_ip();
    tuple.dst_ip = record.dst_ip();
    tuple.src_port = record.src_port;
    tuple.dst_port = record.dst_port;
    tuple.protocol = record.proto;
    if (record.proto == 1 || record.proto == 58 || record.proto == 132) {
        // Without its first packet the flow's ID is unknown, not that of type 0.
        auto cursor = PacketCursor::of(reader, record);
        std::optional<PacketRecord> first = cursor ? cursor->next() : std::nullopt;
        if (!first) return std::nullopt;
        const ParsedPacket packet = decode_packet(*first);
        if (!packet.ip || packet.ip->protocol != record.proto) return std::nullopt;
        tuple = *packet.ip;
    }
    return community_id(tuple);
}

ParsedPacket decode_packet(const PacketRecord& p) {
    return dissect_frame(p.time(), p.orig_len, SharedBytes(nullptr, p.data, p.incl_len), p.link_type, p.tunnels);
}

namespace {

// Each connection's pair, by connection number.
struct PairSink final : StreamSink {
    std::vector<StreamPair> pairs;
    Status<> bytes(uint32_t connection, const Endpoint&, bool initiator, const uint8_t* data,
                   size_t size) override {
        StreamPair& pair = at(connection);
        (initiator ? pair.initiator : pair.responder).append(reinterpret_cast<const char*>(data), size);
        return {};
    }
    Status<> gap(uint32_t connection, const Endpoint&, bool initiator, uint64_t offset, uint64_t missing) override {
        StreamPair& pair = at(connection);
        (initiator ? pair.initiator_gaps : pair.responder_gaps).push_back({offset, missing});
        return {};
    }
    StreamPair& at(uint32_t connection) {
        if (connection >= pairs.size()) pairs.resize(size_t(connection) + 1);
        return pairs[connection];
    }
};

}  // namespace

Result<std::vector<StreamPair>> flow_streams(const ArchiveReader& reader, const FlowRecord& record) {
    auto cursor = PacketCursor::of(reader, record);
    if (!cursor) return std::move(cursor).error();
    PairSink sink;
    TcpReassembler tcp;
    std::optional<Endpoint> first_sender;
    while (auto p = cursor->next()) {
        const ParsedPacket packet = decode_packet(*p);
        if (!packet.ip) continue;
        const Endpoint from = source_of(packet);
        if (record.proto == kIpProtoTcp) {
            if (auto segment = tcp_segment(packet))
                (void)tcp.add(from, destination_of(packet), *segment, sink);  // the sink never fails
            continue;
        }
        if (!first_sender) first_sender = from;
        if (packet.payload_offset && *packet.payload_offset < packet.payload_end)
            (void)sink.bytes(0, from, from == *first_sender, packet.data.data() + *packet.payload_offset,
                             size_t(packet.payload_end - *packet.payload_offset));
    }
    (void)tcp.finish(sink);
    const size_t count = record.proto == kIpProtoTcp ? tcp.connections() : first_sender ? 1 : 0;
    if (sink.pairs.size() < count) sink.pairs.resize(count);
    return std::move(sink.pairs);
}

std::string address_text(const IpAddress& address) {
    if (address.family == 4) {
        FlowKey dotted;  // as keys write it, without a call to format it
        append_address(dotted, address);
        return std::string(dotted.text());
    }
    const StoredAddress& a = address.bytes;
    char text[40];
    static constexpr char kHex[] = "0123456789abcdef";
    size_t n = 0;
    for (size_t i = 0; i < kAddressSize; ++i) {
        if (i && i % 2 == 0) text[n++] = ':';
        text[n++] = kHex[a[i] >> 4];
        text[n++] = kHex[a[i] & 15];
    }
    return std::string(text, n);
}

std::optional<uint8_t> protocol_number(std::string_view lowered_name) {
    for (const ProtocolName& p : kProtocols)
        if (lowered_name == p.lowered) return p.number;
    return std::nullopt;
}

std::string short_address_text(const IpAddress& address) {
    FlowKey text;
    append_address(text, address);
    return std::string(text.text());
}

const char* protocol_name(uint8_t proto) {
    for (const ProtocolName& p : kProtocols)
        if (p.number == proto) return p.shown;
    return "?";
}

}  // namespace flowsieve::archive
