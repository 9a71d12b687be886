#include "flow/tcp_connections.hpp"

namespace flowsieve {
namespace {

constexpr uint8_t kSynAck = kTcpSyn | kTcpAck;

}  // namespace

Endpoint source_of(const ParsedPacket& p) { return {p.ip->src_ip, p.ip->src_port}; }
Endpoint destination_of(const ParsedPacket& p) { return {p.ip->dst_ip, p.ip->dst_port}; }

bool TcpConnections::ended() const {
    if (reset_) return true;
    // A side never seen cannot close; one-way flows end with their own FIN.
    const Side& a = sides_[0];
    const Side& b = sides_[1];
    return (a.fin || !a.started) && (b.fin || !b.started) && (a.started || b.started);
}

bool TcpConnections::inside(const Side& s, uint32_t seq) const {
    const int64_t away = sequence_distance(s.front, seq);
    return (away < 0 ? -away : away) <= int64_t(window_);
}

// The answer acknowledges the SYN, and maybe the data it carried.
bool TcpConnections::answers_held(const Endpoint& from, const TcpSegment& s) const {
    if (!held_ || (s.flags & kSynAck) != kSynAck || side_of(from) == held_side_) return false;
    const int64_t acked = sequence_distance(held_->seq + 1, s.ack);
    return acked >= 0 && acked <= int64_t(held_->size);
}

void TcpConnections::start(Side& side, const TcpSegment& s) {
    side.started = true;
    side.syn = s.flags & kTcpSyn;
    side.isn = s.seq;
    side.front = side.syn ? s.seq + 1 : s.seq;
}

TcpConnections::Verdict TcpConnections::decide(const Endpoint& from, const TcpSegment& s) const {
    if (!seen_ || answers_held(from, s)) return Verdict::Opens;
    if ((s.flags & kSynAck) != kTcpSyn) return Verdict::Current;
    const Side& d = sides_[side_of(from)];
    if (d.syn && s.seq == d.isn) return Verdict::Current;  // the connection's own SYN again
    if (ended()) return Verdict::Opens;
    return !d.started || inside(d, s.seq + 1) ? Verdict::Current : Verdict::Held;
}

TcpConnections::Recorded TcpConnections::record(const Endpoint& from, const Endpoint& to, const TcpSegment& s,
                                                Verdict verdict) {
    Recorded r;
    if (verdict == Verdict::Held) {
        if (held_ && held_->seq != s.seq) r.dropped = held_;
        held_ = s;
        held_side_ = side_of(from);
        return r;
    }
    if (verdict == Verdict::Opens) {
        // A SYN-ACK that opens answers the other side's SYN, held or not captured.
        const bool answer = (s.flags & kSynAck) == kSynAck;
        const bool answering = answers_held(from, s);
        if (seen_) ++connection_;
        seen_ = true;
        reset_ = false;
        sides_[0] = Side();
        sides_[1] = Side();
        ends_[0] = answer ? to : from;
        ends_[1] = answer ? from : to;
        if (answering) {
            r.answered = held_;
            start(sides_[0], *held_);
        } else if (held_ && held_->seq != s.seq) {
            r.dropped = held_;
        }
        held_.reset();
    }
    r.side = side_of(from);
    Side& d = sides_[r.side];
    const bool was_started = d.started;
    if (!d.started) start(d, s);
    const uint32_t end = s.seq + ((s.flags & kTcpSyn) ? 1 : 0) + uint32_t(s.size);
    move_front(d, end);
    if ((s.flags & kTcpFin) && inside(d, end)) d.fin = r.fin = true;
    if ((s.flags & kTcpRst) && (!was_started || inside(d, s.seq))) reset_ = true;
    return r;
}

}  // namespace flowsieve
