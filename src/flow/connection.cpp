#include "flow/connection.hpp"

#include <cmath>

#include "flow/reassembly.hpp"

namespace flowsieve {
namespace {

constexpr std::string_view kStateNames[kConnStateCount] = {"",      "S0",   "S1",     "SF",    "REJ",
                                                           "S2",    "S3",   "RSTO",   "RSTR",  "RSTOS0",
                                                           "RSTRH", "SH",   "SHR",    "OTH"};

// The ports Zeek's analyzers register as likely servers' (likely_server_ports),
// by which it guesses the originator of a connection whose start it missed.
bool likely_server_port(uint8_t protocol, uint16_t port) {
    static constexpr uint16_t kTcp[] = {21,   22,   23,   25,   53,   80,   81,   88,   110,  111,  139,  143,
                                        443,  445,  502,  563,  585,  587,  614,  631,  636,  989,  990,  992,
                                        993,  995,  1080, 1433, 1883, 2049, 3128, 3306, 3389, 5060, 5222, 5223,
                                        5269, 5432, 6379, 6666, 6667, 6668, 6669, 8000, 8080, 8888, 20000};
    static constexpr uint16_t kUdp[] = {53,  67,  68,  69,  88,  111,  123,  137,  161,   162,
                                        443, 500, 514, 1812, 1813, 2049, 4500, 5060, 5353, 5355};
    if (protocol == kIpProtoTcp) {
        for (uint16_t p : kTcp)
            if (p == port) return true;
    } else if (protocol == kIpProtoUdp) {
        for (uint16_t p : kUdp)
            if (p == port) return true;
    }
    return false;
}

// History events, one bit each on the originator's side (the responder's
// are 16 bits up); kAckBit and kDataBit are the header's.
enum : uint32_t {
    kSynBit = 1,  // a SYN or a SYN-ACK
    kFinBit = 16,
    kRstBit = 32,
    kMultiFlagBit = 64,
    kFinRstBit = 128,
};

// Sequence numbers after `from`, modulo 2^32, as an unsigned gap; 0 for one before it.
uint32_t past(uint32_t from, uint32_t seq) {
    const int64_t d = sequence_distance(from, seq);
    return d > 0 ? uint32_t(d) : 0;
}

}  // namespace

std::string_view conn_state_name(ConnState state) { return kStateNames[size_t(state)]; }

std::optional<ConnState> conn_state_named(std::string_view name) {
    for (uint8_t i = 1; i < kConnStateCount; ++i)
        if (kStateNames[i] == name) return ConnState(i);
    return std::nullopt;
}

Status<> IdleTimeouts::set(std::string_view protocol, double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9)
        return Error{"idle timeout must be a number of seconds from 0 to 1e9"};
    const uint64_t ns = uint64_t(std::llround(seconds * 1e9));
    if (protocol == "tcp") tcp = ns;
    else if (protocol == "udp") udp = ns;
    else if (protocol == "icmp") icmp = ns;
    else return Error{"Unknown idle timeout protocol: " + std::string(protocol) + ". Valid: tcp, udp, icmp"};
    return {};
}

bool ConnTracker::once(uint32_t bit, char c, bool orig) {
    const uint32_t mask = orig ? bit : bit << 16;
    if (seen_ & mask) return true;
    seen_ |= mask;
    letter(c, orig);
    return false;
}

uint64_t ConnTracker::Side::size() const {
    if (!sequenced) return payload;
    uint64_t n = std::max(past(start, front), acked_any ? past(start, acked) : 0);
    if (n > 0) --n;  // the SYN's sequence number, or the one a partial connection is given
    if (fin && n > 0) --n;
    return n;
}

void ConnTracker::start(const ParsedPacket& p) {
    const IpTuple& ip = *p.ip;
    const std::optional<TcpSegment> segment = tcp_segment(p);
    started_ = true;
    protocol_ = ip.protocol;
    if (ip.protocol == kIpProtoTcp) {
        // A connection seen from its start is its SYN's sender's; one seen
        // later, the side that is not a likely server's. Zeek leaves a
        // SYN-ACK's direction to the ports as well, so that a stealth
        // scan's answers are not taken for connections.
        const bool syn = segment && (segment->flags & (kTcpSyn | kTcpAck)) == kTcpSyn;
        if (!syn && likely_server_port(kIpProtoTcp, ip.src_port)) {
            const bool syn_ack = segment && (segment->flags & kTcpSyn);
            flipped_ = likely_server_port(kIpProtoTcp, ip.dst_port) ? !syn_ack && ip.src_port < ip.dst_port : true;
        }
    } else if (ip.protocol == kIpProtoUdp) {
        flipped_ = likely_server_port(kIpProtoUdp, ip.src_port) && !likely_server_port(kIpProtoUdp, ip.dst_port);
    } else if (ip.protocol == 1 || ip.protocol == kIpProtoIcmpv6) {
        // An echo reply, or ICMPv6's router and neighbor advertisements
        // seen before their solicitations.
        flipped_ = ip.protocol == 1 ? ip.icmp_type == 0 : ip.icmp_type == 129;
    }
    if (flipped_) history_.push_back('^');
}

void ConnTracker::add_other(const ParsedPacket& p, int side) {
    if (p.ip->protocol != kIpProtoTcp) add_datagram(p, side);
    else if (const auto segment = tcp_segment(p)) add_segment(*segment, side);
}

void ConnTracker::add_datagram(const ParsedPacket& p, int side) {
    if (p.payload_offset) sides_[side].payload += p.payload_end - *p.payload_offset;
    if (p.ip->protocol == kIpProtoUdp) once(kDataBit, 'D', side == 0);
}

void ConnTracker::scaled(uint32_t& count, char c, bool orig) {
    ++count;
    uint32_t n = count;
    while (n % 10 == 0) n /= 10;
    if (n == 1) letter(c, orig);
}

void ConnTracker::add_segment(const TcpSegment& s, int side) {
    Side& e = sides_[side];
    Side& peer = sides_[1 - side];
    const bool orig = side == 0;
    const bool syn = s.flags & kTcpSyn;
    const uint32_t end = s.seq + (syn ? 1 : 0) + uint32_t(s.size) + ((s.flags & kTcpFin) ? 1 : 0);
    if (!e.sequenced || (syn && !(s.flags & kTcpAck) && e.state == TcpState::Inactive)) {
        e.sequenced = true;
        // A side seen without its SYN counts as though it had one before.
        e.start = syn ? s.seq : s.seq - 1;
        e.front = syn ? s.seq + 1 : s.seq;
        e.hole = false;
    }
    // Payload wholly inside what the side has sent: a retransmission.
    const bool again = s.size && sequence_distance(s.seq + uint32_t(s.size), e.front) >= 0 &&
                       !(e.hole && sequence_distance(e.hole_start, s.seq + uint32_t(s.size)) > 0 &&
                         sequence_distance(s.seq, e.hole_end) > 0);
    tcp_history(s, e, orig);
    if (again) scaled(e.retransmits, 'T', orig);
    // A zero window after either side closed, or with a reset, is no news.
    if (s.window == 0 && !(s.flags & kTcpRst) && e.state != TcpState::Closed && e.state != TcpState::Reset &&
        peer.state != TcpState::Closed)
        scaled(e.zero_windows, 'W', orig);
    // Bytes skipped are a hole until they come or the peer acknowledges them.
    if (e.hole && sequence_distance(s.seq, e.hole_start) >= 0 && sequence_distance(e.hole_start, end) > 0) {
        e.hole_start = end;
        if (sequence_distance(e.hole_end, e.hole_start) >= 0) e.hole = false;
    }
    const int64_t jump = sequence_distance(e.front, s.seq);
    if (jump > 0 && !e.hole && !syn) {
        e.hole = true;
        e.hole_start = e.front;
        e.hole_end = s.seq;
    }
    if (sequence_distance(e.front, end) > 0) e.front = end;
    if (s.flags & kTcpAck) {
        if (peer.sequenced && (!peer.acked_any || sequence_distance(peer.acked, s.ack) > 0)) {
            peer.acked = s.ack;
            peer.acked_any = true;
        }
        if (peer.hole && sequence_distance(peer.hole_start, s.ack) > 0) {
            // Acknowledged but never seen: the capture missed them.
            const uint32_t upto = sequence_distance(peer.hole_end, s.ack) < 0 ? s.ack : peer.hole_end;
            peer.missed += past(peer.hole_start, upto);
            peer.hole = false;
            scaled(peer.gaps, 'G', !orig);
        }
    }
    if (s.flags & kTcpFin) e.fin = true;
    tcp_state(s, e, peer, orig);
    for (int i = 0; i < 2; ++i) {
        Side& x = sides_[i];
        const uint32_t seen = seen_ >> (i ? 16 : 0);
        const bool open = (x.state == TcpState::Established || x.state == TcpState::Partial) && !x.hole &&
                          !sides_[1 - i].hole;
        x.steady = open ? uint8_t(((seen & kAckBit) ? kSteadyAck : 0) | ((seen & kDataBit) ? kSteadyData : 0)) : 0;
    }
}

// Zeek's history letters: a SYN (S), SYN-ACK (H), FIN (F) or RST (R) each
// again when its sequence number differs; a pure ACK (A) and data (D) once;
// more than one of SYN, FIN and RST in one segment: I for FIN with RST, Q
// otherwise.
void ConnTracker::tcp_history(const TcpSegment& s, Side& e, bool orig) {
    const bool syn = s.flags & kTcpSyn, fin = s.flags & kTcpFin, rst = s.flags & kTcpRst;
    const int bits = syn + fin + rst;
    if (bits > 1) {
        if (fin && rst) once(kFinRstBit, 'I', orig);
        else once(kMultiFlagBit, 'Q', orig);
        return;
    }
    if (syn) {
        const bool ack = s.flags & kTcpAck;
        const uint32_t rel = s.seq - e.start;
        if (once(kSynBit, ack ? 'H' : 'S', orig) && rel != e.last_syn) letter(ack ? 'H' : 'S', orig);
        e.last_syn = rel;
    } else if (fin) {
        const uint32_t rel = s.seq - e.start + uint32_t(s.size);
        if (once(kFinBit, 'F', orig) && rel != e.last_fin) letter('F', orig);
        e.last_fin = rel;
    } else if (rst) {
        const uint32_t rel = s.seq - e.start;
        if (once(kRstBit, 'R', orig) && rel != e.last_rst) letter('R', orig);
        e.last_rst = rel;
    } else if (s.size) {
        once(kDataBit, 'D', orig);
    } else if (s.flags & kTcpAck) {
        once(kAckBit, 'A', orig);
    }
}

// Zeek's TCP endpoint states, moved by each segment from its sender's.
void ConnTracker::tcp_state(const TcpSegment& s, Side& e, Side& peer, bool orig) {
    const bool syn = s.flags & kTcpSyn, ack = s.flags & kTcpAck, fin = s.flags & kTcpFin, rst = s.flags & kTcpRst;
    auto set = [](Side& x, TcpState st) { x.state = st; };
    switch (e.state) {
        case TcpState::Inactive:
            if (syn) {
                if (orig) {
                    set(e, ack ? TcpState::SynAckSent : TcpState::SynSent);
                } else {
                    if (peer.state == TcpState::SynSent) set(peer, TcpState::Established);
                    set(e, TcpState::Established);
                }
            }
            if (rst) set(e, TcpState::Reset);
            else if (fin) set(e, TcpState::Closed);
            else if (!syn) set(e, TcpState::Partial);
            break;
        case TcpState::SynSent:
        case TcpState::SynAckSent:
            if (rst) set(e, TcpState::Reset);
            else if (fin) set(e, TcpState::Closed);
            else if (ack && !syn && peer.state == TcpState::Established) set(e, TcpState::Established);
            break;
        case TcpState::Partial:
        case TcpState::Established:
            if (syn && !ack && e.state == TcpState::Partial && peer.state == TcpState::Inactive)
                set(e, TcpState::SynSent);
            if (rst) set(e, TcpState::Reset);
            else if (fin) set(e, TcpState::Closed);
            break;
        case TcpState::Closed:
            if (rst) set(e, TcpState::Reset);
            break;
        case TcpState::Reset:
            break;
    }
}

ConnSummary ConnTracker::summary() const {
    ConnSummary c;
    const Side& o = sides_[0];
    const Side& r = sides_[1];
    c.orig_packets = o.packets;
    c.orig_ip_bytes = o.ip_bytes;
    c.resp_packets = r.packets;
    c.resp_ip_bytes = r.ip_bytes;
    c.orig_bytes = o.size();
    c.resp_bytes = r.size();
    c.missed_bytes = o.missed + r.missed;
    c.flipped = flipped_;
    c.history = history_;
    if (!started_) return c;
    c.state = ConnState::OTH;
    if (protocol_ == kIpProtoUdp) {
        c.state = o.packets ? (r.packets ? ConnState::SF : ConnState::S0) : (r.packets ? ConnState::SHR : ConnState::OTH);
    } else if (protocol_ == kIpProtoTcp) {
        using S = TcpState;
        const S os = o.state, rs = r.state;
        const bool o_inactive = os == S::Inactive || os == S::Partial;
        const bool r_inactive = rs == S::Inactive || rs == S::Partial;
        if (rs == S::Reset) {
            if (os == S::SynSent || os == S::SynAckSent || (os == S::Reset && c.orig_bytes == 0 && c.resp_bytes == 0))
                c.state = ConnState::REJ;
            else
                c.state = o_inactive ? ConnState::RSTRH : ConnState::RSTR;
        } else if (os == S::Reset) {
            if (r_inactive) {
                // ^?S[^HAFGIQ]*R.*: a SYN, then a reset before any answer.
                const std::string_view h = std::string_view(history_).substr(history_.starts_with('^') ? 1 : 0);
                const size_t rst = h.find('R');
                const bool s0 = h.starts_with('S') && rst != std::string_view::npos &&
                                h.substr(1, rst - 1).find_first_of("HAFGIQ") == std::string_view::npos;
                c.state = s0 ? ConnState::RSTOS0 : ConnState::OTH;
            } else {
                c.state = ConnState::RSTO;
            }
        } else if (rs == S::Closed && os == S::Closed) {
            c.state = ConnState::SF;
        } else if (os == S::Closed) {
            c.state = r_inactive ? ConnState::SH : ConnState::S2;
        } else if (rs == S::Closed) {
            c.state = o_inactive ? ConnState::SHR : ConnState::S3;
        } else if (os == S::SynSent && rs == S::Inactive) {
            c.state = ConnState::S0;
        } else if (os == S::Established && rs == S::Established) {
            c.state = ConnState::S1;
        }
    }
    return c;
}

bool ConnectionRun::next_starts(const ParsedPacket& p, const IdleTimeouts& idle) {
    if (!p.ip) return false;
    const IpTuple& ip = *p.ip;
    const uint64_t now = packet_nanoseconds(p);
    // Out of time order: not a gap.
    bool next = seen_ && now > last_ns_ && now - last_ns_ > idle.of(ip.protocol);
    if (!seen_ || now > last_ns_) last_ns_ = now;
    seen_ = true;
    if (ip.has_icmp_id) next |= echo_changes(ip);
    if (ip.protocol == kIpProtoTcp && !(tcp_ && tcp_->advance(p))) next |= tcp_opens(p);
    return next;
}

bool ConnectionRun::echo_changes(const IpTuple& ip) {
    const auto echo = echo_identifier(ip);
    if (!echo) return false;
    const bool changes = has_echo_ && *echo != echo_;
    echo_ = *echo;
    has_echo_ = true;
    return changes;
}

bool ConnectionRun::tcp_opens(const ParsedPacket& p) {
    const auto segment = tcp_segment(p);
    if (!segment) return false;
    if (!tcp_) tcp_.emplace(uint32_t(TcpReassembler::kDefaultWaitLimit));
    const Endpoint from = source_of(p);
    const auto verdict = tcp_->decide(from, *segment);
    // The first segment opens the first connection, which is this run's own.
    const bool opens = verdict == TcpConnections::Verdict::Opens && tcp_->count() > 0;
    (void)tcp_->record(from, destination_of(p), *segment, verdict);
    return opens;
}

}  // namespace flowsieve
