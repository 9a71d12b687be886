// Where the TCP connections of one flow begin and end, segment by segment:
// the one decision that everything numbering a flow's connections makes
// (stream reassembly, in split and in the archive), so that they all agree.
//
// Rules, with a window of `window` sequence numbers either side of the
// furthest byte each side has sent:
// - A SYN opens a new connection on the same addresses and ports when the
//   current one has ended (RST, or FIN from every side that sent), unless it
//   carries the initial sequence number of its sender in the connection
//   that just ended: that is the same connection captured again (a second
//   interface, or a capture written block by block).
// - A SYN far outside its sender's window on a connection that has not
//   ended is held: it opens a new connection only once the other side
//   answers it (a SYN-ACK acknowledging it), as a restarted client's SYN
//   would be. Until then, and if no answer comes, it belongs to no
//   connection, and every other segment stays with the current one. A SYN
//   inside the window is the connection's own, retransmitted or reordered.
// - FIN and RST end their connection only inside their sender's window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "packet/packet.hpp"

namespace flowsieve {

inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpAck = 0x10;

struct TcpSegment {
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = 0;
    const uint8_t* payload = nullptr;
    size_t size = 0;
    uint16_t window = 0;  // as sent, unscaled
};

// A TCP header's fixed part, which holds every field read of it.
inline constexpr uint8_t kTcpMinHeader = 20;

// The segment a packet carries; nothing when the packet is not TCP or its
// header's first 20 bytes were not captured (a later IP fragment has none).
// Its header fields are the ones the dissector read. Inline: every packet
// of an archive is asked.
inline std::optional<TcpSegment> tcp_segment(const ParsedPacket& p) {
    if (!p.ip || p.ip->protocol != kIpProtoTcp || !p.payload_offset || p.ip->transport_header_len < kTcpMinHeader)
        return std::nullopt;
    const IpTuple& ip = *p.ip;
    TcpSegment s;
    s.seq = ip.tcp_seq();
    s.ack = ip.tcp_ack();
    s.flags = ip.tcp_flags();
    s.window = ip.tcp_window();
    s.payload = p.data.data() + *p.payload_offset;
    s.size = size_t(p.payload_end - *p.payload_offset);
    return s;
}

struct Endpoint {
    IpAddress address;
    uint16_t port = 0;
    bool operator==(const Endpoint& o) const { return port == o.port && address == o.address; }
};

// The packet's source and destination; the packet has an IP layer.
Endpoint source_of(const ParsedPacket& packet);
Endpoint destination_of(const ParsedPacket& packet);

// How far `seq` lies after `from`, modulo 2^32: negative for one before it.
inline int64_t sequence_distance(uint32_t from, uint32_t seq) { return int32_t(seq - from); }

class TcpConnections {
public:
    enum class Verdict : uint8_t {
        Current,  // the segment belongs to the current connection
        Opens,    // the segment opens a connection; the current one, if any, ends before it
        Held,     // a far SYN waiting for its answer: in no connection
    };
    // What recording a segment found.
    struct Recorded {
        int side = 0;      // 0: sent by the connection's initiator, 1: by its responder
        bool fin = false;  // a FIN that ends its side
        // When a SYN-ACK opened the connection: the held SYN it answers,
        // the initiator's first segment.
        std::optional<TcpSegment> answered;
        // A held SYN given up: another far SYN took its place, or another
        // connection opened without answering it.
        std::optional<TcpSegment> dropped;
    };

    explicit TcpConnections(uint32_t window) : window_(window) {}

    // The decision alone, so that a caller can close the current connection
    // before `record` moves past it.
    Verdict decide(const Endpoint& from, const TcpSegment& segment) const;
    // Records a segment with the verdict `decide` gave it.
    Recorded record(const Endpoint& from, const Endpoint& to, const TcpSegment& segment, Verdict verdict);
    // Records the segment of a TCP packet that neither opens nor ends a
    // connection, as `record` would with its verdict, Current: one without
    // SYN, FIN or RST from a side already started. False, and nothing
    // recorded, for any other, which `decide` and `record` take. Inline:
    // most segments are such.
    bool advance(const ParsedPacket& p) {
        const IpTuple& ip = *p.ip;
        if (!seen_ || ip.transport_header_len < kTcpMinHeader || (ip.tcp_flags() & (kTcpSyn | kTcpFin | kTcpRst)))
            return false;
        Side& d = sides_[ip.src_port == ends_[0].port && ip.src_ip == ends_[0].address ? 0 : 1];
        if (!d.started) return false;
        move_front(d, ip.tcp_seq() + uint32_t(p.payload_end - *p.payload_offset));
        return true;
    }

    // The current connection, counting from 0 in the order they opened.
    uint32_t current() const { return connection_; }
    // Connections opened so far, those without payload included.
    uint32_t count() const { return seen_ ? connection_ + 1 : 0; }
    const Endpoint& endpoint(int side) const { return ends_[side]; }
    // A SYN still waiting for its answer.
    const std::optional<TcpSegment>& held() const { return held_; }

private:
    struct Side {
        uint32_t front = 0;  // sequence number past the furthest byte seen inside the window
        uint32_t isn = 0;    // its SYN's sequence number, when `syn`
        bool started = false;
        bool syn = false;
        bool fin = false;
    };

    bool ended() const;
    int side_of(const Endpoint& e) const { return e == ends_[0] ? 0 : 1; }
    bool inside(const Side& s, uint32_t seq) const;
    bool answers_held(const Endpoint& from, const TcpSegment& segment) const;
    void start(Side& s, const TcpSegment& segment);
    // Past `end`, when it lies ahead inside the window.
    void move_front(Side& s, uint32_t end) const {
        const int64_t ahead = sequence_distance(s.front, end);
        if (ahead > 0 && ahead <= int64_t(window_)) s.front = end;
    }

    uint32_t window_;
    Side sides_[2];     // initiator, responder
    Endpoint ends_[2];  // initiator, responder
    std::optional<TcpSegment> held_;
    int held_side_ = 0;  // the side of the current connection that sent it
    uint32_t connection_ = 0;
    bool seen_ = false;
    bool reset_ = false;
};

}  // namespace flowsieve
