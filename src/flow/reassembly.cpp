#include "flow/reassembly.hpp"

#include <algorithm>

namespace flowsieve {
namespace {

constexpr size_t kTcpMinHeader = 20;

// How far `seq` lies after `next`, modulo 2^32: negative for bytes before it.
int64_t distance(uint32_t next, uint32_t seq) { return int32_t(seq - next); }

}  // namespace

std::optional<TcpSegment> tcp_segment(const ParsedPacket& p) {
    if (!p.ip || p.ip->protocol != kIpProtoTcp || !p.payload_offset || p.ip->transport_header_len < kTcpMinHeader)
        return std::nullopt;
    const size_t at = size_t(*p.payload_offset) - p.ip->transport_header_len;
    const ByteView v = p.data.view();
    auto seq = v.u32(at + 4, ByteOrder::Big);
    auto flags = v.u8(at + 13);
    if (!seq || !flags) return std::nullopt;
    TcpSegment s;
    s.seq = *seq;
    s.flags = *flags;
    s.payload = p.data.data() + *p.payload_offset;
    s.size = size_t(p.payload_end - *p.payload_offset);
    return s;
}

Endpoint source_of(const ParsedPacket& p) { return {p.ip->src_ip, p.ip->src_port}; }
Endpoint destination_of(const ParsedPacket& p) { return {p.ip->dst_ip, p.ip->dst_port}; }

bool TcpReassembler::ended() const {
    if (reset_) return true;
    // A direction never seen cannot close; one-way flows end with their own FIN.
    const Direction& a = sides_[0];
    const Direction& b = sides_[1];
    return (a.fin || !a.started) && (b.fin || !b.started) && (a.started || b.started);
}

bool TcpReassembler::starts_new_connection(const Endpoint& from, const TcpSegment& s) const {
    if (!seen_ || (s.flags & (kTcpSyn | kTcpAck)) != kTcpSyn) return false;
    if (ended()) return true;
    const Direction& d = sides_[from == initiator_ ? 0 : 1];
    if (!d.started) return false;
    const int64_t away = distance(d.next, s.seq + 1);
    return size_t(away < 0 ? -away : away) > wait_limit_;
}

Status<> TcpReassembler::add(const Endpoint& from, const Endpoint& to, const TcpSegment& s, StreamSink& sink) {
    if (starts_new_connection(from, s)) {
        if (auto st = end_connection(sink); !st) return st;
        ++connection_;
        seen_ = false;
    }
    if (!seen_) {
        // A SYN-ACK seen first answers the other side's SYN.
        const bool answer = (s.flags & (kTcpSyn | kTcpAck)) == (kTcpSyn | kTcpAck);
        initiator_ = answer ? to : from;
        responder_ = answer ? from : to;
        seen_ = true;
    }
    const int side = from == initiator_ ? 0 : 1;
    Direction& d = sides_[side];
    const bool syn = s.flags & kTcpSyn;
    if (!d.started) {
        d.next = syn ? s.seq + 1 : s.seq;
        d.started = true;
    }
    if (s.size)
        if (auto st = place(side, syn ? s.seq + 1 : s.seq, s.payload, s.size, sink); !st) return st;
    if (s.flags & kTcpFin) d.fin = true;
    if (s.flags & kTcpRst) reset_ = true;
    return {};
}

Status<> TcpReassembler::place(int side, uint32_t seq, const uint8_t* data, size_t size, StreamSink& sink) {
    Direction& d = sides_[side];
    int64_t away = distance(d.next, seq);
    if (away < 0) {  // bytes delivered already come first
        const uint64_t old = uint64_t(-away);
        if (old >= size) return {};
        data += old;
        size -= size_t(old);
        away = 0;
    }
    if (away == 0 && !d.waiting) return deliver(side, data, size, sink);
    if (!d.waiting) d.waiting = std::make_unique<Waiting>();
    keep_uncovered(d, d.offset + uint64_t(away), data, size);
    if (auto st = drain(side, sink); !st) return st;
    while (d.waiting && d.waiting->cost > wait_limit_)
        if (auto st = jump_gap(side, sink); !st) return st;
    return {};
}

// Adds the parts of [start, start + size) that no waiting piece holds yet.
void TcpReassembler::keep_uncovered(Direction& d, uint64_t start, const uint8_t* data, size_t size) {
    auto& pieces = d.waiting->pieces;
    const uint64_t end = start + size;
    uint64_t at = start;
    auto it = pieces.upper_bound(at);
    if (it != pieces.begin()) {
        const auto before = std::prev(it);
        at = std::max(at, before->first + before->second.size);
    }
    auto keep = [&](uint64_t from, uint64_t to) {
        pieces.emplace_hint(it, from, Piece{data + (from - start), size_t(to - from)});
        d.waiting->cost += size_t(to - from) + kPieceCost;
    };
    for (; at < end; ++it) {
        if (it == pieces.end() || it->first >= end) {
            keep(at, end);
            break;
        }
        if (it->first > at) keep(at, it->first);
        at = std::max(at, it->first + it->second.size);
    }
}

Status<> TcpReassembler::deliver(int side, const uint8_t* data, size_t size, StreamSink& sink) {
    Direction& d = sides_[side];
    d.next += uint32_t(size);
    d.offset += size;
    return sink.bytes(connection_, side == 0 ? initiator_ : responder_, side == 0, data, size);
}

Status<> TcpReassembler::drain(int side, StreamSink& sink) {
    Direction& d = sides_[side];
    auto& pieces = d.waiting->pieces;
    while (!pieces.empty() && pieces.begin()->first <= d.offset) {
        const auto [start, piece] = *pieces.begin();
        pieces.erase(pieces.begin());
        d.waiting->cost -= piece.size + kPieceCost;
        const uint64_t old = d.offset - start;
        if (old < piece.size)
            if (auto st = deliver(side, piece.data + old, piece.size - size_t(old), sink); !st) return st;
    }
    if (pieces.empty()) d.waiting.reset();
    return {};
}

Status<> TcpReassembler::jump_gap(int side, StreamSink& sink) {
    Direction& d = sides_[side];
    const uint64_t missing = d.waiting->pieces.begin()->first - d.offset;
    d.offset += missing;
    d.next += uint32_t(missing);
    gaps_.bytes += missing;
    if (!gap_counted_) {
        ++gaps_.connections;
        gap_counted_ = true;
    }
    return drain(side, sink);
}

Status<> TcpReassembler::end_connection(StreamSink& sink) {
    for (int side = 0; side < 2; ++side)
        while (sides_[side].waiting)
            if (auto st = jump_gap(side, sink); !st) return st;
    sides_[0] = Direction();
    sides_[1] = Direction();
    reset_ = false;
    gap_counted_ = false;
    return {};
}

Status<> TcpReassembler::finish(StreamSink& sink) { return end_connection(sink); }

}  // namespace flowsieve
