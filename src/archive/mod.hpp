// Queries over an opened archive, and each flow as a standalone pcap file.
#pragma once

#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "archive/reader.hpp"
#include "packet/packet.hpp"
#include "parser/pcap_format.hpp"
#include "util/result.hpp"

namespace flowsieve::archive {

// Selected records point into the reader's flow table.
using FlowList = std::vector<const FlowRecord*>;

// The flow ids stored under a key in one section of the index, as u64 each
// inside the mapping; empty when the key is absent or the section is
// damaged. Groups are walked from the start without relying on their order.
ByteView index_lookup(const ArchiveIndex& index, IndexSection section, ByteView key);

// The flows of a list of index ids (u64 each) whose records match, each once,
// in the list's order. Read in place and marked off by table position: a
// damaged index may list ids by the million, and one id many times.
template <class Matches>
void add_indexed_flows(const ArchiveReader& reader, ByteView ids, Matches matches, FlowList& out) {
    const FlowRecord* first = reader.records().data();
    std::vector<bool> seen(reader.records().size());
    for (size_t at = 0; at + 8 <= ids.size(); at += 8) {
        const FlowRecord* r = reader.find_id(decode_u64le(ids.data() + at));
        if (!r || seen[size_t(r - first)]) continue;
        seen[size_t(r - first)] = true;
        if (matches(*r)) out.push_back(r);
    }
}

FlowList all_flows(const ArchiveReader& reader);
const FlowRecord* get_flow(const ArchiveReader& reader, uint64_t id);
// Errors: "invalid IP address syntax"; the unknown-protocol message.
Result<FlowList> find_by_ip(const ArchiveReader& reader, std::string_view text);
FlowList find_by_port(const ArchiveReader& reader, uint16_t port);
Result<FlowList> find_by_protocol(const ArchiveReader& reader, const std::string& lowered_name);

// The record bytes that one export of all flows may copy. In a valid
// archive each record belongs to one flow, so all flows together hold less
// than the file; the budget keeps a crafted table whose flows all list the
// same large records from multiplying the file in memory.
class ExportBudget {
public:
    explicit ExportBudget(const ArchiveReader& reader) : left_(reader.mapping().size()) {}
    bool take(uint64_t bytes) {
        if (bytes > left_) return false;
        left_ -= bytes;
        return true;
    }

private:
    uint64_t left_;
};

// A packet record as the output `format` writes it, handed to put(data,
// size, mapped) piece by piece; false when put refuses one. Pieces inside
// the archive's mapping (`mapped`) stay valid while the reader lives; the
// others only during the call. A record already in the output's form is
// handed over as stored.
template <class Put>
bool put_record(const FrameFileFormat& format, const PacketRecord& p, Put&& put) {
    if (!format.pcapng() && format.nanoseconds == p.nanoseconds) return put(p.record_start(), p.record_size(), true);
    uint8_t head[FrameFileFormat::kMaxRecordHead];
    uint8_t tail[FrameFileFormat::kMaxRecordTail];
    const size_t tail_size = format.record_tail(tail, p.incl_len);
    return put(head, format.record_head(head, p.time(), p.incl_len, p.orig_len, p.link_type), false) &&
           put(p.data, p.incl_len, true) && (tail_size == 0 || put(tail, tail_size, false));
}

// The format of an export of some of the archive's records: the archive's,
// its snap length raised to the longest record where an archive written
// before it kept one does not state it.
FrameFileFormat export_format(const ArchiveReader& reader, const std::vector<PacketRecord>& packets);

// One flow as a standalone capture file (classic pcap, or pcapng for an
// archive of several link types): the file header, then each of its packet
// records; records beyond the budget are left out. With `only`, the frames
// of that link type alone, as a classic pcap of it.
class FlowPcap {
public:
    static Result<FlowPcap> of(const ArchiveReader& reader, const FlowRecord& record, ExportBudget& budget,
                               std::optional<uint32_t> only = std::nullopt);
    size_t size() const { return size_; }
    size_t packets() const { return packets_.size(); }
    // Writes size() bytes.
    void write(uint8_t* out) const;
    // Hands the file to put(data, size) piece by piece, so that a large
    // flow can be streamed without a copy of it in memory. Stops at the
    // first piece that put refuses (returns false); false then.
    template <class Put>
    bool stream(Put&& put) const {
        const std::vector<uint8_t> header = format_.file_header();
        if (!put(header.data(), header.size())) return false;
        for (const PacketRecord& p : packets_)
            if (!put_record(format_, p, [&](const uint8_t* data, size_t size, bool) { return put(data, size); }))
                return false;
        return true;
    }
    const FrameFileFormat& format() const { return format_; }

private:
    FrameFileFormat format_;
    std::vector<PacketRecord> packets_;
    size_t size_ = 0;
};

// The Community ID of the flow's first packet's tuple, or nothing for a
// flow without an IP layer. ICMP, ICMPv6 and SCTP flows read their first
// packet for the type and code, or the ports, that the table does not keep.
std::optional<std::string> flow_community_id(const ArchiveReader& reader, const FlowRecord& record);

// A packet record decoded as the capture's frames are, its bytes borrowed
// from the mapping.
ParsedPacket decode_packet(const PacketRecord& packet);

// What each side of a flow sent, per connection: for a TCP flow, each
// connection's reassembled bytes (initiator's, responder's) in the order
// the connections started; for another flow one pair, the payload that the
// first packet's sender and the other side sent, each in capture order.
// Error: "Offset list extends beyond file".
// Each side's gaps: where bytes never captured are left out, after how
// many bytes of the side, and how many (none for a flow that is not TCP).
struct StreamHoleAt {
    uint64_t offset;
    uint64_t missing;
};
struct StreamPair {
    std::string initiator;
    std::string responder;
    std::vector<StreamHoleAt> initiator_gaps;
    std::vector<StreamHoleAt> responder_gaps;
};
Result<std::vector<StreamPair>> flow_streams(const ArchiveReader& reader, const FlowRecord& record);

// Address text of a flow's address: dotted IPv4, or eight groups of four
// hexadecimal digits for IPv6 (the Flow attributes' form).
std::string address_text(const IpAddress& address);
// The form other tools print: dotted IPv4, IPv6 as RFC 5952 writes it
// (the command's outputs and the arrays).
std::string short_address_text(const IpAddress& address);
const char* protocol_name(uint8_t proto);
// The number of a lowered protocol name: tcp, udp, icmp or icmpv6.
std::optional<uint8_t> protocol_number(std::string_view lowered_name);

}  // namespace flowsieve::archive
