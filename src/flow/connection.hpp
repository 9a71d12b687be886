// What a flow's packets say of it as a connection, in the terms of a
// connection log (Zeek's conn.log): who started it, how it ended
// (conn_state), what each side did (history) and how much each side sent.
// Worked out as the packets go, a few flags and counters a flow: no packet
// is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flow/tcp_connections.hpp"
#include "packet/packet.hpp"
#include "util/result.hpp"

namespace flowsieve {

// Zeek's conn_state codes; Unknown for a flow without an IP layer.
enum class ConnState : uint8_t { Unknown, S0, S1, SF, REJ, S2, S3, RSTO, RSTR, RSTOS0, RSTRH, SH, SHR, OTH };
inline constexpr uint8_t kConnStateCount = 14;

// "" for Unknown.
std::string_view conn_state_name(ConnState state);
// Upper case as Zeek writes them; nothing for another text.
std::optional<ConnState> conn_state_named(std::string_view name);

struct ConnSummary {
    uint64_t orig_packets = 0;
    uint64_t orig_ip_bytes = 0;  // the IP datagrams' lengths, as their headers state them
    uint64_t resp_packets = 0;
    uint64_t resp_ip_bytes = 0;
    // Payload bytes by sequence numbers for TCP (acknowledged or sent), by
    // lengths otherwise, and bytes acknowledged but never seen.
    uint64_t orig_bytes = 0;
    uint64_t resp_bytes = 0;
    uint64_t missed_bytes = 0;
    bool flipped = false;  // the originator is the flow's destination
    ConnState state = ConnState::Unknown;
    std::string history;
};

// How long each protocol's connection may stay silent before the next
// packet starts another, in nanoseconds: Zeek's defaults.
struct IdleTimeouts {
    uint64_t tcp = 300'000'000'000;
    uint64_t udp = 60'000'000'000;
    uint64_t icmp = 60'000'000'000;  // ICMP, ICMPv6 and every other protocol

    uint64_t of(uint8_t protocol) const {
        return protocol == kIpProtoTcp ? tcp : protocol == kIpProtoUdp ? udp : icmp;
    }
    // Sets one from "tcp", "udp" or "icmp" (lower case) and seconds, which
    // are finite and not negative.
    Status<> set(std::string_view protocol, double seconds);
};

// A packet's time in nanoseconds since the epoch.
inline uint64_t packet_nanoseconds(const ParsedPacket& p) {
    const FrameTime t = p.time();
    return t.whole_seconds() * 1'000'000'000 + t.nsec();
}

// The echo identifier of an ICMP or ICMPv6 echo request or reply.
inline std::optional<uint16_t> echo_identifier(const IpTuple& ip) {
    const bool v4 = ip.protocol == 1 && (ip.icmp_type == 8 || ip.icmp_type == 0);
    const bool v6 = ip.protocol == kIpProtoIcmpv6 && (ip.icmp_type == 128 || ip.icmp_type == 129);
    if (!(v4 || v6) || !ip.has_icmp_id) return std::nullopt;
    return ip.icmp_id;
}

// One flow's connection facts. The flow's source is its first packet's
// sender; the originator is that sender unless the first packet looks like
// a server's (Zeek's heuristics: a SYN-ACK or a reply from a well-known
// server port, an ICMP reply).
class ConnTracker {
public:
    // `first`: the IP layer of the flow's first packet, when it had one.
    // Inline, as every packet of an archive comes here: most segments of a
    // connection come in order in its middle (bare ACKs and data whose
    // letters were written already, on a side that is `steady`), and move
    // only the front and the acknowledgment, from the header fields the
    // dissector read.
    void add(const ParsedPacket& p, const std::optional<IpTuple>& first) {
        if (!p.ip || !first) [[unlikely]]
            return;
        const IpTuple& ip = *p.ip;
        if (!started_) [[unlikely]]
            start(p);
        const bool from_first = ip.src_port == first->src_port && ip.src_ip == first->src_ip;
        const int side = from_first == flipped_ ? 1 : 0;
        Side& e = sides_[side];
        ++e.packets;
        e.ip_bytes += p.ip_length;
        // A header of 20 bytes or more is TCP's alone, whose bytes were copied.
        if (ip.transport_header_len >= kTcpMinHeader &&
            (ip.tcp_flags() & (kTcpSyn | kTcpFin | kTcpRst | kTcpAck)) == kTcpAck && ip.tcp_seq() == e.front &&
            ip.tcp_window()) [[likely]] {
            const uint32_t size = uint32_t(p.payload_end - *p.payload_offset);
            if (e.steady & (size ? kSteadyData : kSteadyAck)) [[likely]] {
                e.front += size;
                Side& peer = sides_[side ^ 1];
                const uint32_t ack = ip.tcp_ack();
                if (peer.sequenced && (!peer.acked_any || sequence_distance(peer.acked, ack) > 0)) {
                    peer.acked = ack;
                    peer.acked_any = true;
                }
                return;
            }
        }
        add_other(p, side);
    }
    ConnSummary summary() const;

private:
    enum class TcpState : uint8_t { Inactive, SynSent, SynAckSent, Partial, Established, Closed, Reset };
    struct Side {
        uint64_t packets = 0;
        uint64_t ip_bytes = 0;
        uint64_t payload = 0;  // lengths, for a protocol without sequence numbers
        uint64_t missed = 0;
        uint32_t start = 0;  // the sequence number before the first byte
        uint32_t front = 0;  // past the furthest byte sent
        uint32_t acked = 0;  // the furthest the peer acknowledged
        uint32_t hole_start = 0, hole_end = 0;  // bytes skipped, not yet seen
        uint32_t last_syn = 0, last_fin = 0, last_rst = 0;
        // Events whose letter is written at their 1st, 10th, 100th, ...
        uint32_t retransmits = 0, gaps = 0, zero_windows = 0;
        TcpState state = TcpState::Inactive;
        bool sequenced = false;
        bool fin = false;
        bool hole = false;
        bool acked_any = false;
        // Which in-order bare ACKs and data segments change nothing but
        // the front and the acknowledgment (kSteadyAck, kSteadyData): those
        // of an established side whose letter is written, no hole on
        // either side. Worked out again after every other segment.
        uint8_t steady = 0;
        uint64_t size() const;
    };

    // History events with a bit each, the originator's (the responder's
    // are 16 bits up); the others are the source file's.
    static constexpr uint32_t kAckBit = 4, kDataBit = 8;
    static constexpr uint8_t kSteadyAck = 1, kSteadyData = 2;

    void start(const ParsedPacket& p);
    // A packet off the common way: not TCP, or a segment that may change more.
    void add_other(const ParsedPacket& p, int side);
    void add_datagram(const ParsedPacket& p, int side);
    void add_segment(const TcpSegment& s, int side);
    void tcp_state(const TcpSegment& s, Side& e, Side& peer, bool orig);
    void tcp_history(const TcpSegment& s, Side& e, bool orig);
    // Adds a letter the first time its event happens on a side, upper case
    // for the originator; `bit` is the event's.
    bool once(uint32_t bit, char letter, bool orig);
    void letter(char c, bool orig) { history_.push_back(orig ? c : char(c - 'A' + 'a')); }
    // Counts an event whose letter repeats as its count reaches each power of ten.
    void scaled(uint32_t& count, char c, bool orig);

    Side sides_[2];  // originator, responder
    std::string history_;
    uint32_t seen_ = 0;  // history events seen, the responder's 16 bits up
    uint8_t protocol_ = 0;
    bool started_ = false;
    bool flipped_ = false;
};

// Where the connections on one session key begin and end, for the
// connection strategy: TCP's as stream reassembly numbers them
// (TcpConnections, with the reassembler's window), an idle gap longer than
// the protocol's timeout, and an ICMP echo identifier other than the
// current run's.
class ConnectionRun {
public:
    ConnectionRun(uint32_t flow) : latest(flow) {}
    // Whether the packet starts a connection after the current one; records it.
    bool next_starts(const ParsedPacket& p, const IdleTimeouts& idle);
    // Records a TCP packet whose segment only moves its side's front, sent
    // within the idle timeout (TcpConnections::advance): true for it, which
    // next_starts would take as no start. False, and nothing recorded, for
    // any other. Inline: most packets of the strategy are such.
    bool continues(const ParsedPacket& p, const IdleTimeouts& idle) {
        if (!p.ip || !tcp_ || p.ip->protocol != kIpProtoTcp) return false;
        const uint64_t now = packet_nanoseconds(p);
        // Out of time order: not a gap.
        if (now > last_ns_ && now - last_ns_ > idle.tcp) return false;
        if (!tcp_->advance(p)) return false;
        if (now > last_ns_) last_ns_ = now;
        return true;
    }

    uint32_t latest;     // the flow of the current connection
    uint32_t count = 1;  // connections so far

private:
    // Whether the packet's echo identifier differs from the run's; records it.
    bool echo_changes(const IpTuple& ip);
    // Whether the TCP packet's segment opens a connection after the
    // current one, by TcpConnections' decision; records it.
    bool tcp_opens(const ParsedPacket& p);

    std::optional<TcpConnections> tcp_;  // from its first segment
    uint64_t last_ns_ = 0;
    uint16_t echo_ = 0;
    bool seen_ = false;
    bool has_echo_ = false;
};

}  // namespace flowsieve
