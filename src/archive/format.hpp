// The archive file layout, defined once for the writer and the reader.
//
//   header (64) [| link types] | packet records | offset lists
//   | flow table (96 per flow)
//   | index (36-byte header + address, port and protocol sections)
//   [| flow fields (per-flow fields beyond the flow table)]
//   [| name index (the flows of each server name)]
//   | footer (128, the last bytes of the file)
//
// Integers are little-endian. A position is an absolute byte offset in the
// file. Packet records have the classic pcap record layout, so they can be
// copied into a pcap file unchanged.
//
// Two versions share this layout. Version 2 keeps times in microseconds and
// one link type, the header's. Version 3 is written only for a capture that
// needs more: its header's flags say whether times (in packet records and
// the flow table) are in nanoseconds, and whether frames are of several link
// types; then the header is followed by the list of those link types, and
// each packet record is preceded by its frame's link type (u32), outside the
// pcap record. A reader of version 2 alone refuses version 3 by its number.
//
// The flow fields section is written only where a flow has a field the
// flow table cannot hold, such as the tunnels of an archive built with
// inner tunnel mode or the server name and application of a flow; the footer locates it, and its fields are tagged, so
// that a reader skips what it does not know and one that predates the
// section reads the rest of the archive as before.
//
// The name index is written only where a flow has a server name, so that
// every other archive is as it was; a reader of an archive without one
// finds names by reading each flow's fields.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flow/connection.hpp"
#include "packet/packet.hpp"
#include "util/byte_view.hpp"

namespace flowsieve::archive {

inline constexpr uint32_t kVersion = 2;
inline constexpr uint32_t kVersionLossless = 3;

// Header: magic, version u32, link type u32, snap length u32 (0: 65535, as
// archives older than the field have it), then in version 3 flags u32 and
// the number of link types listed after the header u32; zeros after.
inline constexpr size_t kHeaderSize = 64;
inline constexpr char kHeaderMagic[8] = {'F', 'S', 'I', 'E', 'V', 'E', '0', '2'};
inline constexpr size_t kHeaderVersionOffset = 8;
inline constexpr size_t kHeaderLinkTypeOffset = 12;
inline constexpr size_t kHeaderSnapLengthOffset = 16;
inline constexpr size_t kHeaderFlagsOffset = 20;
inline constexpr size_t kHeaderLinkTypeCountOffset = 24;
inline constexpr uint64_t kDataStart = kHeaderSize;

inline constexpr uint32_t kFlagNanoseconds = 1;
inline constexpr uint32_t kFlagLinkTypePerPacket = 2;
inline constexpr size_t kRecordLinkTypeSize = 4;  // before each record, with kFlagLinkTypePerPacket

struct ArchiveHeader {
    uint32_t version = kVersion;
    uint32_t link_type = 0;
    uint32_t snap_length = 0;
    uint32_t flags = 0;
    std::vector<uint32_t> link_types;  // listed after the header (version 3)

    bool nanoseconds() const { return flags & kFlagNanoseconds; }
    bool link_type_per_packet() const { return flags & kFlagLinkTypePerPacket; }
    // Where the packet records start.
    uint64_t data_start() const { return kDataStart + 4 * uint64_t(link_types.size()); }
};

// The header and the list after it.
inline std::vector<uint8_t> encode_header(const ArchiveHeader& h) {
    std::vector<uint8_t> out(h.data_start());
    std::memcpy(out.data(), kHeaderMagic, sizeof kHeaderMagic);
    encode_u32le(out.data() + kHeaderVersionOffset, h.version);
    encode_u32le(out.data() + kHeaderLinkTypeOffset, h.link_type);
    encode_u32le(out.data() + kHeaderSnapLengthOffset, h.snap_length);
    if (h.version >= kVersionLossless) {
        encode_u32le(out.data() + kHeaderFlagsOffset, h.flags);
        encode_u32le(out.data() + kHeaderLinkTypeCountOffset, uint32_t(h.link_types.size()));
        for (size_t i = 0; i < h.link_types.size(); ++i) encode_u32le(out.data() + kHeaderSize + 4 * i, h.link_types[i]);
    }
    return out;
}

// Nothing when the bytes are too few or the magic is wrong. The list of
// link types is read only for a version 3 header that says it has one, and
// only as far as the bytes go: the reader checks it against the footer.
inline std::optional<ArchiveHeader> decode_header(ByteView bytes) {
    if (!bytes.has(0, kHeaderSize) || std::memcmp(bytes.data(), kHeaderMagic, sizeof kHeaderMagic) != 0)
        return std::nullopt;
    ArchiveHeader h;
    h.version = decode_u32(bytes.data() + kHeaderVersionOffset, ByteOrder::Little);
    h.link_type = decode_u32(bytes.data() + kHeaderLinkTypeOffset, ByteOrder::Little);
    h.snap_length = decode_u32(bytes.data() + kHeaderSnapLengthOffset, ByteOrder::Little);
    if (h.version != kVersionLossless) return h;
    h.flags = decode_u32(bytes.data() + kHeaderFlagsOffset, ByteOrder::Little);
    if (!h.link_type_per_packet()) return h;
    const uint32_t count = decode_u32(bytes.data() + kHeaderLinkTypeCountOffset, ByteOrder::Little);
    for (uint32_t i = 0; i < count && bytes.has(kHeaderSize + 4 * size_t(i), 4); ++i)
        h.link_types.push_back(decode_u32(bytes.data() + kHeaderSize + 4 * size_t(i), ByteOrder::Little));
    return h;
}

// Packet record: ts_sec, ts_usec, incl_len, orig_len (u32 each), then the
// incl_len frame bytes.
inline constexpr size_t kRecordHeaderSize = 16;
inline constexpr size_t kRecordInclLenOffset = 8;

// Addresses take 16 bytes: IPv6 as is, IPv4 as ::ffff:a.b.c.d, and zeros
// for a flow without an IP layer.
inline constexpr size_t kAddressSize = 16;
using StoredAddress = std::array<uint8_t, kAddressSize>;

inline StoredAddress encode_address(const IpAddress& a) {
    StoredAddress out{};
    if (a.family == 6) {
        out = a.bytes;
    } else {
        out[10] = out[11] = 0xFF;
        std::memcpy(out.data() + 12, a.bytes.data(), 4);
    }
    return out;
}

// Whether the address has the form an IPv4 address is stored in: ::ffff:a.b.c.d.
inline bool has_ipv4_form(const StoredAddress& stored) {
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(stored.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
}

// An address in the IPv4 form is IPv4 unless `ipv6` says that it is the
// IPv6 address of that form (a flow record with kFlowMappedIpv6).
inline IpAddress decode_address(const StoredAddress& stored, bool ipv6 = false) {
    IpAddress ip;
    if (!ipv6 && has_ipv4_form(stored)) {
        ip.family = 4;
        std::memcpy(ip.bytes.data(), stored.data() + 12, 4);
    } else {
        ip.family = 6;
        ip.bytes = stored;
    }
    return ip;
}

// Offset lists: the first position as u64, then for each further packet
// the distance to the previous one as an unsigned LEB128 varint of minimal
// length.
inline constexpr size_t kOffsetListHead = 8;
inline constexpr size_t kMaxVarintSize = 10;

inline size_t encode_varint(uint64_t value, uint8_t out[kMaxVarintSize]) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = uint8_t(value | 0x80);
        value >>= 7;
    }
    out[n++] = uint8_t(value);
    return n;
}

struct Varint {
    uint64_t value;
    size_t size;  // bytes read
};

// Nothing when the bytes end inside the varint or it exceeds 64 bits.
inline std::optional<Varint> decode_varint(ByteView bytes, size_t offset) {
    // Read from the bytes there are, at most a varint's: one check, not one a byte.
    const std::optional<ByteView> rest = bytes.from(offset);
    if (!rest) return std::nullopt;
    const uint8_t* p = rest->data();
    const size_t n = std::min(rest->size(), kMaxVarintSize);
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = p[i];
        if (i == kMaxVarintSize - 1 && byte > 1) return std::nullopt;
        value |= uint64_t(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) return Varint{value, i + 1};
    }
    return std::nullopt;
}

// One entry of the flow table.
inline constexpr size_t kFlowRecordSize = 96;

// Flow flags, one byte after the protocol (zero in archives written before
// it had a use, whose flows all read as they always did).
// kFlowMappedIpv6: the flow is IPv6 between IPv4-mapped addresses
// (::ffff:a.b.c.d), whose stored form is an IPv4 address's. Set only for
// such a flow, so that every other flow's record is as it was.
inline constexpr size_t kFlowFlagsOffset = 9;
inline constexpr uint8_t kFlowMappedIpv6 = 1;

struct FlowRecord {
    uint64_t id = 0;
    uint8_t proto = 0;
    StoredAddress src_addr{};
    StoredAddress dst_addr{};
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint64_t offsets_pos = 0;
    uint32_t offsets_len = 0;
    uint32_t packet_count = 0;
    // Nanoseconds since the epoch; stored in the archive's unit.
    uint64_t start_ns = 0;
    uint64_t end_ns = 0;
    uint64_t total_bytes = 0;
    uint8_t flags = 0;

    IpAddress src_ip() const { return decode_address(src_addr, flags & kFlowMappedIpv6); }
    IpAddress dst_ip() const { return decode_address(dst_addr, flags & kFlowMappedIpv6); }
    // A flow without an IP layer has no addresses and all its fields zero.
    bool has_ip() const { return proto || src_addr != StoredAddress{} || dst_addr != StoredAddress{}; }
    // The flags that a flow of these addresses needs.
    static uint8_t flags_for(const IpAddress& src, const IpAddress& dst) {
        return src.family == 6 && (has_ipv4_form(src.bytes) || has_ipv4_form(dst.bytes)) ? kFlowMappedIpv6 : 0;
    }
};

// Nanoseconds a stored time counts: 1 in an archive in nanoseconds, 1000 otherwise.
inline uint64_t time_unit(bool nanoseconds) { return nanoseconds ? 1 : 1000; }

inline void encode_flow_record(uint8_t out[kFlowRecordSize], const FlowRecord& r, bool nanoseconds) {
    std::memset(out, 0, kFlowRecordSize);
    encode_u64le(out, r.id);
    out[8] = r.proto;
    out[kFlowFlagsOffset] = r.flags;
    std::memcpy(out + 16, r.src_addr.data(), kAddressSize);
    std::memcpy(out + 32, r.dst_addr.data(), kAddressSize);
    encode_u16le(out + 48, r.src_port);
    encode_u16le(out + 50, r.dst_port);
    encode_u64le(out + 56, r.offsets_pos);
    encode_u32le(out + 64, r.offsets_len);
    encode_u32le(out + 68, r.packet_count);
    encode_u64le(out + 72, r.start_ns / time_unit(nanoseconds));
    encode_u64le(out + 80, r.end_ns / time_unit(nanoseconds));
    encode_u64le(out + 88, r.total_bytes);
}

// A stored time beyond what nanoseconds since the epoch can count reads as the largest.
inline std::optional<FlowRecord> decode_flow_record(ByteView bytes, size_t offset, bool nanoseconds) {
    if (!bytes.has(offset, kFlowRecordSize)) return std::nullopt;
    const uint8_t* p = bytes.data() + offset;
    FlowRecord r;
    r.id = decode_u64le(p);
    r.proto = p[8];
    r.flags = p[kFlowFlagsOffset];
    std::memcpy(r.src_addr.data(), p + 16, kAddressSize);
    std::memcpy(r.dst_addr.data(), p + 32, kAddressSize);
    r.src_port = decode_u16(p + 48, ByteOrder::Little);
    r.dst_port = decode_u16(p + 50, ByteOrder::Little);
    r.offsets_pos = decode_u64le(p + 56);
    r.offsets_len = decode_u32(p + 64, ByteOrder::Little);
    r.packet_count = decode_u32(p + 68, ByteOrder::Little);
    const uint64_t unit = time_unit(nanoseconds);
    const uint64_t largest = UINT64_MAX / unit;
    r.start_ns = std::min(decode_u64le(p + 72), largest) * unit;
    r.end_ns = std::min(decode_u64le(p + 80), largest) * unit;
    r.total_bytes = decode_u64le(p + 88);
    return r;
}

// Index: a 36-byte header of packed fields (ip_off u64, ip_len u32,
// port_off u64, port_len u32, proto_off u64, proto_len u32), whose offsets
// count from the first byte after it, then three sections. A section is a
// u32 count of distinct (key, flow id) pairs, then per key in ascending
// order: the key bytes, a u32 id count and the ids as u64, ascending.
inline constexpr size_t kIndexHeaderSize = 36;

enum class IndexSection { Address, Port, Protocol };

inline constexpr size_t key_size(IndexSection s) {
    return s == IndexSection::Address ? kAddressSize : s == IndexSection::Port ? 2 : 1;
}

struct SectionExtent {
    uint64_t offset = 0;
    uint32_t length = 0;
};

struct IndexHeader {
    SectionExtent sections[3];  // by IndexSection

    const SectionExtent& operator[](IndexSection s) const { return sections[size_t(s)]; }
};

inline void encode_index_header(uint8_t out[kIndexHeaderSize], const IndexHeader& h) {
    for (size_t i = 0; i < 3; ++i) {
        encode_u64le(out + 12 * i, h.sections[i].offset);
        encode_u32le(out + 12 * i + 8, h.sections[i].length);
    }
}

inline std::optional<IndexHeader> decode_index_header(ByteView bytes) {
    if (!bytes.has(0, kIndexHeaderSize)) return std::nullopt;
    IndexHeader h;
    for (size_t i = 0; i < 3; ++i) {
        h.sections[i].offset = decode_u64le(bytes.data() + 12 * i);
        h.sections[i].length = decode_u32(bytes.data() + 12 * i + 8, ByteOrder::Little);
    }
    return h;
}

// Flow fields: a u32 count of entries and u32 flags (kFields...), then
// per entry, by ascending flow id, the id u64, a u32 length of its fields,
// then fields, each a tag u8, a u16 length and that many bytes.
inline constexpr size_t kFlowFieldsHead = 8;
inline constexpr size_t kFlowFieldsEntryHead = 12;
inline constexpr size_t kFlowFieldHead = 3;
enum class FlowFieldTag : uint8_t {
    Tunnel = 1,  // the tunnels of the flow's first packet, as text ("vxlan 101")
    Vni = 2,     // u32: the VNI of its innermost VXLAN or GENEVE header
    ServerName = 3,  // the server name its first packets carry, as text
    App = 4,         // what its payload is, as text ("tls")
    // The flow as a connection: a byte of ConnState, a byte of flags
    // (kConnFlipped), then varints of orig_packets, orig_ip_bytes,
    // resp_packets, resp_ip_bytes, orig_bytes, resp_bytes and missed_bytes.
    // The state comes first, so that a query by state reads one byte.
    Connection = 16,
    History = 17,  // its history letters, as text
};
inline constexpr uint8_t kConnFlipped = 1;

// Flags of the section, facts of the whole archive. This one: the packets
// were grouped by their innermost IP layers (inner tunnel mode), and are
// decoded so again.
inline constexpr uint32_t kFieldsInnerTunnels = 1;

struct FlowFields {
    uint64_t id = 0;
    std::string tunnel{};  // empty: outside tunnels
    std::optional<uint32_t> vni{};
    std::string server_name{};  // empty: none
    std::string app{};          // empty: none
    // Every flow has one, but in an archive written before they were counted.
    std::optional<ConnSummary> connection{};

    bool empty() const { return tunnel.empty() && !vni && server_name.empty() && app.empty() && !connection; }
};

// A field's bytes at `out`; past them.
inline uint8_t* put_flow_field(uint8_t* out, FlowFieldTag tag, const void* bytes, size_t size) {
    out[0] = uint8_t(tag);
    out[1] = uint8_t(size);
    out[2] = uint8_t(size >> 8);
    std::memcpy(out + kFlowFieldHead, bytes, size);
    return out + kFlowFieldHead + size;
}

// A Connection field's longest value: state, flags and seven varints.
inline constexpr size_t kConnFieldMax = 2 + 7 * kMaxVarintSize;

// The whole section, entries in the order given (ascending ids).
inline std::vector<uint8_t> encode_flow_fields(const std::vector<FlowFields>& flows, uint32_t flags) {
    // Texts are short: the tunnels of eight layers at most; a name is at
    // most 255 bytes as sent, four times that escaped.
    auto text = [](const std::string& t) { return std::min<size_t>(t.size(), 0xFFFF); };
    auto text_field = [&](const std::string& t) { return t.empty() ? 0 : kFlowFieldHead + text(t); };
    // Sized first, then written where each byte goes.
    size_t size = kFlowFieldsHead;
    for (const FlowFields& f : flows)
        size += kFlowFieldsEntryHead + text_field(f.tunnel) + (f.vni ? kFlowFieldHead + 4 : 0) +
                text_field(f.server_name) + text_field(f.app) +
                (f.connection ? kFlowFieldHead + kConnFieldMax + text_field(f.connection->history) : 0);
    std::vector<uint8_t> out(size);
    encode_u32le(out.data(), uint32_t(flows.size()));
    encode_u32le(out.data() + 4, flags);
    uint8_t* at = out.data() + kFlowFieldsHead;
    for (const FlowFields& f : flows) {
        uint8_t* const head = at;
        encode_u64le(head, f.id);
        at += kFlowFieldsEntryHead;
        if (!f.tunnel.empty()) at = put_flow_field(at, FlowFieldTag::Tunnel, f.tunnel.data(), text(f.tunnel));
        if (f.vni) {
            uint8_t vni[4];
            encode_u32le(vni, *f.vni);
            at = put_flow_field(at, FlowFieldTag::Vni, vni, sizeof vni);
        }
        if (!f.server_name.empty())
            at = put_flow_field(at, FlowFieldTag::ServerName, f.server_name.data(), text(f.server_name));
        if (!f.app.empty()) at = put_flow_field(at, FlowFieldTag::App, f.app.data(), text(f.app));
        if (f.connection) {
            const ConnSummary& c = *f.connection;
            uint8_t bytes[kConnFieldMax];
            bytes[0] = uint8_t(c.state);
            bytes[1] = c.flipped ? kConnFlipped : 0;
            size_t n = 2;
            for (uint64_t v : {c.orig_packets, c.orig_ip_bytes, c.resp_packets, c.resp_ip_bytes, c.orig_bytes,
                               c.resp_bytes, c.missed_bytes})
                n += encode_varint(v, bytes + n);
            at = put_flow_field(at, FlowFieldTag::Connection, bytes, n);
            // Letters are a few per event kind, the repeated ones logarithmic.
            if (!c.history.empty()) at = put_flow_field(at, FlowFieldTag::History, c.history.data(), text(c.history));
        }
        encode_u32le(head + 8, uint32_t(at - head - kFlowFieldsEntryHead));
    }
    out.resize(at - out.data());  // connection facts were sized at their longest
    return out;
}

// Where one flow's fields lie in the section.
struct FlowFieldsEntry {
    uint64_t id = 0;
    uint32_t offset = 0;  // of its first field, in the section
    uint32_t length = 0;
};

struct FlowFieldsSection {
    uint32_t flags = 0;
    std::vector<FlowFieldsEntry> entries;  // by ascending id
};

// The state of a Connection field; nothing when it is malformed.
inline std::optional<ConnState> connection_state(ByteView bytes) {
    const std::optional<uint8_t> state = bytes.u8(0);
    if (!state || *state >= kConnStateCount) return std::nullopt;
    return ConnState(*state);
}

// A Connection field; nothing when it is malformed. The history, a field
// of its own, is the caller's to add.
inline std::optional<ConnSummary> decode_connection(ByteView bytes) {
    ConnSummary c;
    const std::optional<ConnState> state = connection_state(bytes);
    const std::optional<uint8_t> flags = bytes.u8(1);
    if (!state || !flags) return std::nullopt;
    c.state = *state;
    c.flipped = *flags & kConnFlipped;
    size_t at = 2;
    for (uint64_t* v : {&c.orig_packets, &c.orig_ip_bytes, &c.resp_packets, &c.resp_ip_bytes, &c.orig_bytes,
                        &c.resp_bytes, &c.missed_bytes}) {
        const auto read = decode_varint(bytes, at);
        if (!read) return std::nullopt;
        *v = read->value;
        at += read->size;
    }
    return c;
}

// The section's entries, located without decoding their fields, so that an
// archive opens without reading every flow's names. As far as the bytes
// go: an entry that runs past them ends the list.
inline FlowFieldsSection locate_flow_fields(ByteView bytes) {
    FlowFieldsSection section;
    if (!bytes.has(0, kFlowFieldsHead) || bytes.size() > UINT32_MAX) return section;
    const uint32_t count = *bytes.u32(0, ByteOrder::Little);
    section.flags = *bytes.u32(4, ByteOrder::Little);
    // Every flow has an entry: the list is made at its size, never grown.
    section.entries.reserve(std::min<size_t>(count, bytes.size() / kFlowFieldsEntryHead));
    size_t at = kFlowFieldsHead;
    for (uint32_t i = 0; i < count && bytes.has(at, kFlowFieldsEntryHead); ++i) {
        const uint64_t id = decode_u64le(bytes.data() + at);
        const uint32_t length = *bytes.u32(at + 8, ByteOrder::Little);
        at += kFlowFieldsEntryHead;
        if (!bytes.has(at, length)) break;
        section.entries.push_back({id, uint32_t(at), length});
        at += length;
    }
    return section;
}

// Calls f(tag, value bytes) for each field of one entry, in order, while f
// returns true; a field that runs past the entry ends it.
template <class F>
void for_each_flow_field(ByteView section, const FlowFieldsEntry& entry, F f) {
    const std::optional<ByteView> fields = section.sub(entry.offset, entry.length);
    if (!fields) return;
    for (size_t field = 0; fields->has(field, kFlowFieldHead);) {
        const size_t size = *fields->u16(field + 1, ByteOrder::Little);
        const std::optional<ByteView> bytes = fields->sub(field + kFlowFieldHead, size);
        if (!bytes || !f(fields->data()[field], *bytes)) return;
        field += kFlowFieldHead + size;
    }
}

// One entry's fields; those of unknown tags are skipped.
inline FlowFields decode_flow_fields(ByteView section, const FlowFieldsEntry& entry) {
    FlowFields f;
    f.id = entry.id;
    std::string history;
    for_each_flow_field(section, entry, [&](uint8_t tag, ByteView bytes) {
        const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (tag == uint8_t(FlowFieldTag::Tunnel)) f.tunnel = text;
        else if (tag == uint8_t(FlowFieldTag::Vni) && bytes.size() == 4) f.vni = decode_u32(bytes.data(), ByteOrder::Little);
        else if (tag == uint8_t(FlowFieldTag::ServerName)) f.server_name = text;
        else if (tag == uint8_t(FlowFieldTag::App)) f.app = text;
        else if (tag == uint8_t(FlowFieldTag::Connection)) f.connection = decode_connection(bytes);
        else if (tag == uint8_t(FlowFieldTag::History)) history = text;
        return true;
    });
    if (f.connection) f.connection->history = std::move(history);
    return f;
}

// Name index: a u32 count n and a u32 of zeros, then n keys (u64 each) in
// ascending order, then n flow ids (u64 each), the flow of each key in the
// same order, ascending among equal keys. A flow is listed under the key of
// its whole server name and under that of each part of it that follows a
// dot ("www.example.com": the whole of it, then below "example.com", below
// "com"), each ignoring case, so that both forms of a pattern find their
// flows by one key: "example.com" the whole name, "*.example.com" the names
// below it. A key is a hash: the flows found are candidates, compared with
// the pattern by their stored names.
inline constexpr size_t kNameIndexHead = 8;

enum class NameKeyKind : uint8_t { Whole = 1, Below = 2 };

// FNV-1a of the ASCII-lowered text read from its end, so that one pass over
// a name hashes each of its suffixes; then the kind, mixed in by
// splitmix64's finisher so that the keys of similar names spread.
inline constexpr uint64_t kNameHashStart = 0xCBF29CE484222325;
inline uint64_t name_hash_step(uint64_t h, char c) {
    return (h ^ uint8_t(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c)) * 0x100000001B3;
}
inline uint64_t name_hash_key(NameKeyKind kind, uint64_t h) {
    h += uint8_t(kind);
    h = (h ^ h >> 30) * 0xBF58476D1CE4E5B9;
    h = (h ^ h >> 27) * 0x94D049BB133111EB;
    return h ^ h >> 31;
}

inline uint64_t name_key(NameKeyKind kind, std::string_view text) {
    uint64_t h = kNameHashStart;
    for (size_t i = text.size(); i-- > 0;) h = name_hash_step(h, text[i]);
    return name_hash_key(kind, h);
}

// Calls f(key) for each key a flow of this server name is listed under.
template <class F>
void for_each_name_key(std::string_view name, F f) {
    uint64_t h = kNameHashStart;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == '.') f(name_hash_key(NameKeyKind::Below, h));  // of the part after this dot
        h = name_hash_step(h, name[i]);
    }
    f(name_hash_key(NameKeyKind::Whole, h));
}

// The key under which every flow whose name matches the pattern is listed.
inline uint64_t pattern_name_key(std::string_view pattern) {
    return pattern.starts_with("*.") ? name_key(NameKeyKind::Below, pattern.substr(2))
                                     : name_key(NameKeyKind::Whole, pattern);
}

// (key, flow id) pairs sorted by key, then id.
inline std::vector<uint8_t> encode_name_index(const std::vector<std::pair<uint64_t, uint64_t>>& pairs) {
    std::vector<uint8_t> out(kNameIndexHead + 16 * pairs.size());
    encode_u32le(out.data(), uint32_t(pairs.size()));
    uint8_t* keys = out.data() + kNameIndexHead;
    uint8_t* ids = keys + 8 * pairs.size();
    for (size_t i = 0; i < pairs.size(); ++i) {
        encode_u64le(keys + 8 * i, pairs[i].first);
        encode_u64le(ids + 8 * i, pairs[i].second);
    }
    return out;
}

struct NameIndex {
    ByteView keys;  // u64 each, ascending
    ByteView ids;   // u64 each, as many
};

// Nothing unless the bytes are a whole index with its keys in order: a
// damaged one is not used, and names are then found by reading the flows.
inline std::optional<NameIndex> locate_name_index(ByteView bytes) {
    const std::optional<uint32_t> count = bytes.u32(0, ByteOrder::Little);
    if (!count || bytes.size() != kNameIndexHead + 16 * uint64_t(*count)) return std::nullopt;
    const size_t size = 8 * size_t(*count);
    const NameIndex index{*bytes.sub(kNameIndexHead, size), *bytes.sub(kNameIndexHead + size, size)};
    for (size_t at = 8; at < index.keys.size(); at += 8)
        if (decode_u64le(index.keys.data() + at) < decode_u64le(index.keys.data() + at - 8)) return std::nullopt;
    return index;
}

// The ids (u64 each) listed under the key; empty when none is.
inline ByteView name_index_lookup(const NameIndex& index, uint64_t key) {
    const size_t n = index.keys.size() / 8;
    auto first_at_least = [&](uint64_t wanted) {
        size_t low = 0, high = n;
        while (low < high) {
            const size_t mid = low + (high - low) / 2;
            if (decode_u64le(index.keys.data() + 8 * mid) < wanted) low = mid + 1;
            else high = mid;
        }
        return low;
    };
    const size_t first = first_at_least(key);
    const size_t end = key == UINT64_MAX ? n : first_at_least(key + 1);
    return *index.ids.sub(8 * first, 8 * (end - first));
}

// Footer: the last 128 bytes; locates every area.
inline constexpr size_t kFooterSize = 128;
inline constexpr char kFooterMagic[8] = {'F', 'S', 'V', 'E', 'F', 'O', 'O', 'T'};

struct ArchiveFooter {
    uint32_t version = kVersion;
    uint64_t data_off = kDataStart;
    uint64_t data_len = 0;
    uint64_t offsets_off = 0;
    uint64_t offsets_len = 0;
    uint64_t table_off = 0;
    uint64_t table_len = 0;
    uint64_t flow_count = 0;
    uint64_t index_off = 0;  // 0: no index
    uint64_t index_len = 0;  // with the index header; 0: no index
    uint64_t fields_off = 0;  // the flow fields section; 0: none
    uint64_t fields_len = 0;
    uint64_t names_off = 0;  // the name index; 0: none
    uint64_t names_len = 0;
};

inline void encode_footer(uint8_t out[kFooterSize], const ArchiveFooter& f) {
    std::memset(out, 0, kFooterSize);
    std::memcpy(out, kFooterMagic, sizeof kFooterMagic);
    encode_u32le(out + 8, f.version);
    const uint64_t fields[] = {f.data_off,   f.data_len,  f.offsets_off, f.offsets_len, f.table_off, f.table_len,
                               f.flow_count, f.index_off, f.index_len,   f.fields_off,  f.fields_len, f.names_off,
                               f.names_len};
    for (size_t i = 0; i < std::size(fields); ++i) encode_u64le(out + 16 + 8 * i, fields[i]);
}

// Nothing when the bytes are too few or the magic is wrong.
inline std::optional<ArchiveFooter> decode_footer(ByteView bytes, size_t offset) {
    if (!bytes.has(offset, kFooterSize)) return std::nullopt;
    const uint8_t* p = bytes.data() + offset;
    if (std::memcmp(p, kFooterMagic, sizeof kFooterMagic) != 0) return std::nullopt;
    ArchiveFooter f;
    f.version = decode_u32(p + 8, ByteOrder::Little);
    uint64_t* fields[] = {&f.data_off,   &f.data_len,  &f.offsets_off, &f.offsets_len, &f.table_off, &f.table_len,
                          &f.flow_count, &f.index_off, &f.index_len,   &f.fields_off,  &f.fields_len, &f.names_off,
                          &f.names_len};
    for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = decode_u64le(p + 16 + 8 * i);
    return f;
}

}  // namespace flowsieve::archive
