#include "flow/reassembly.hpp"

#include <algorithm>

namespace flowsieve {

Status<> TcpReassembler::add(const Endpoint& from, const Endpoint& to, const TcpSegment& s, StreamSink& sink) {
    const TcpConnections::Verdict verdict = connections_.decide(from, s);
    // The connection that ends gives out its waiting bytes under its own number.
    if (verdict == TcpConnections::Verdict::Opens)
        if (auto st = end_connection(sink); !st) return st;
    const TcpConnections::Recorded r = connections_.record(from, to, s, verdict);
    if (r.dropped) gaps_.in_no_stream += r.dropped->size;
    if (verdict == TcpConnections::Verdict::Held) return {};  // its bytes are counted if it never opens
    if (r.answered) {
        start(sides_[0], *r.answered);
        if (r.answered->size)
            if (auto st = place(0, r.answered->seq + 1, r.answered->payload, r.answered->size, sink); !st) return st;
    }
    Direction& d = sides_[r.side];
    if (!d.started) start(d, s);
    const uint32_t at = (s.flags & kTcpSyn) ? s.seq + 1 : s.seq;
    if (s.size)
        if (auto st = place(r.side, at, s.payload, s.size, sink); !st) return st;
    if (r.fin && !d.fin) end_at(d, at + uint32_t(s.size));
    return {};
}

void TcpReassembler::start(Direction& d, const TcpSegment& s) {
    d.next = (s.flags & kTcpSyn) ? s.seq + 1 : s.seq;
    d.started = true;
}

Status<> TcpReassembler::place(int side, uint32_t seq, const uint8_t* data, size_t size, StreamSink& sink) {
    Direction& d = sides_[side];
    int64_t away = sequence_distance(d.next, seq);
    if (away < 0) {  // bytes delivered already come first, and before them those before the stream's start
        const uint64_t old = uint64_t(-away);
        if (old > d.offset) gaps_.in_no_stream += std::min<uint64_t>(old - d.offset, size);
        if (old >= size) return {};
        data += old;
        size -= size_t(old);
        away = 0;
    }
    if (d.fin) {
        const int64_t room = sequence_distance(d.next, d.end) - away;
        if (room < int64_t(size)) {
            gaps_.after_fin += size - size_t(std::max<int64_t>(room, 0));
            if (room <= 0) return {};
            size = size_t(room);
        }
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

void TcpReassembler::end_at(Direction& d, uint32_t fin) {
    // A FIN before bytes the stream holds already cannot end it there.
    const int64_t room = sequence_distance(d.next, fin);
    if (room < 0) return;
    d.fin = true;
    d.end = fin;
    if (!d.waiting) return;
    auto& pieces = d.waiting->pieces;
    const uint64_t cut = d.offset + uint64_t(room);
    while (!pieces.empty()) {
        const auto last = std::prev(pieces.end());
        const uint64_t start = last->first;
        Piece& piece = last->second;
        if (start + piece.size <= cut) break;
        const size_t past = size_t(start + piece.size - std::max(start, cut));
        gaps_.after_fin += past;
        d.waiting->cost -= past;
        piece.size -= past;
        if (piece.size == 0) {
            d.waiting->cost -= kPieceCost;
            pieces.erase(last);
        }
    }
    if (pieces.empty()) d.waiting.reset();
}

Status<> TcpReassembler::deliver(int side, const uint8_t* data, size_t size, StreamSink& sink) {
    Direction& d = sides_[side];
    d.next += uint32_t(size);
    d.offset += size;
    return sink.bytes(connections_.current(), connections_.endpoint(side), side == 0, data, size);
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

Status<> TcpReassembler::skip(int side, uint64_t missing, StreamSink& sink) {
    Direction& d = sides_[side];
    gaps_.bytes += missing;
    if (!gap_counted_) {
        ++gaps_.connections;
        gap_counted_ = true;
    }
    if (auto st = sink.gap(connections_.current(), connections_.endpoint(side), side == 0, d.offset - d.skipped,
                           missing);
        !st)
        return st;
    if (!fill_gaps_) {
        d.offset += missing;
        d.next += uint32_t(missing);
        d.skipped += missing;
        return {};
    }
    // Lent as payload is: the zeros stay where they are for good.
    static constexpr uint8_t kZeros[64 * 1024] = {};
    for (uint64_t left = missing; left;) {
        const size_t n = size_t(std::min<uint64_t>(left, sizeof kZeros));
        if (auto st = deliver(side, kZeros, n, sink); !st) return st;
        left -= n;
    }
    return {};
}

Status<> TcpReassembler::jump_gap(int side, StreamSink& sink) {
    Direction& d = sides_[side];
    if (auto st = skip(side, d.waiting->pieces.begin()->first - d.offset, sink); !st) return st;
    return drain(side, sink);
}

Status<> TcpReassembler::end_connection(StreamSink& sink) {
    for (int side = 0; side < 2; ++side) {
        Direction& d = sides_[side];
        while (d.waiting)
            if (auto st = jump_gap(side, sink); !st) return st;
        if (d.fin && d.next != d.end)
            if (auto st = skip(side, uint64_t(sequence_distance(d.next, d.end)), sink); !st) return st;
        d = Direction();
    }
    gap_counted_ = false;
    return {};
}

Status<> TcpReassembler::finish(StreamSink& sink) {
    if (const auto& held = connections_.held()) gaps_.in_no_stream += held->size;
    return end_connection(sink);
}

}  // namespace flowsieve
