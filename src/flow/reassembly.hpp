// TCP stream reassembly: the bytes each side of a connection sent, once and
// in sequence order, from the segments of one flow in capture order.
//
// Rules, per direction:
// - The stream starts after the SYN's sequence number, or at the first
//   segment seen when the capture begins mid-connection.
// - Bytes before the next expected sequence number were delivered already
//   (retransmissions, keep-alive probes): they add nothing.
// - Overlapping segments keep the first bytes seen. A receiving stack keeps
//   what it queued first too, and a retransmission with other bytes in the
//   same place is a sign of tampering: the first version is the one that an
//   analyst following the connection has seen from the start.
// - Segments past a hole wait, up to a bound of memory per direction; past
//   the bound, and at the end of the connection, the hole is declared a gap
//   and the stream jumps over it: missing bytes are never invented.
// - A SYN starts a new connection on the same addresses and ports when the
//   current one has ended (RST, or FIN from every side that sent), or when
//   its sequence number lies far outside the current window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "packet/packet.hpp"
#include "util/result.hpp"

namespace flowsieve {

inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpRst = 0x04;
inline constexpr uint8_t kTcpAck = 0x10;

struct TcpSegment {
    uint32_t seq = 0;
    uint8_t flags = 0;
    const uint8_t* payload = nullptr;
    size_t size = 0;
};

// The segment a packet carries; nothing when the packet is not TCP or its
// header's first 20 bytes were not captured (a later IP fragment has none).
std::optional<TcpSegment> tcp_segment(const ParsedPacket& packet);

struct Endpoint {
    IpAddress address;
    uint16_t port = 0;
    bool operator==(const Endpoint& o) const { return port == o.port && address == o.address; }
};

// The packet's source and destination; the packet has an IP layer.
Endpoint source_of(const ParsedPacket& packet);
Endpoint destination_of(const ParsedPacket& packet);

// Connections that lost bytes, and how many bytes the streams jumped over.
struct StreamGaps {
    uint64_t connections = 0;
    uint64_t bytes = 0;
};

// Where reassembled bytes go: `connection` counts the connections of the
// flow from 0 in the order they started; `initiator` tells whether the
// sender opened it (sent the SYN, or the first segment seen).
class StreamSink {
public:
    virtual Status<> bytes(uint32_t connection, const Endpoint& sender, bool initiator, const uint8_t* data,
                           size_t size) = 0;

protected:
    ~StreamSink() = default;
};

// The connections of one flow, one after the other. Payload bytes are
// handed on where they lie, and those that wait are held where they lie:
// the caller keeps them valid until `finish`.
class TcpReassembler {
public:
    static constexpr size_t kDefaultWaitLimit = size_t(4) << 20;

    explicit TcpReassembler(size_t wait_limit = kDefaultWaitLimit) : wait_limit_(wait_limit) {}

    Status<> add(const Endpoint& from, const Endpoint& to, const TcpSegment& segment, StreamSink& sink);
    // The end of the input: bytes still waiting go out, past their gaps.
    Status<> finish(StreamSink& sink);
    const StreamGaps& gaps() const { return gaps_; }
    // Connections seen so far, those without payload included.
    uint32_t connections() const { return seen_ ? connection_ + 1 : 0; }

private:
    struct Piece {
        const uint8_t* data;
        size_t size;
    };
    // Bytes past a hole by stream position; pieces never overlap.
    struct Waiting {
        std::map<uint64_t, Piece> pieces;
        size_t cost = 0;  // bytes, plus kPieceCost a piece: what the bound limits
    };
    // About what a piece's entry takes, so that many tiny segments cannot
    // hold more memory than the bound.
    static constexpr size_t kPieceCost = 64;
    struct Direction {
        uint32_t next = 0;    // sequence number of the next byte
        uint64_t offset = 0;  // its position in the stream, gaps included
        bool started = false;
        bool fin = false;
        std::unique_ptr<Waiting> waiting;  // only while bytes wait
    };

    bool ended() const;
    bool starts_new_connection(const Endpoint& from, const TcpSegment& s) const;
    Status<> place(int side, uint32_t seq, const uint8_t* data, size_t size, StreamSink& sink);
    void keep_uncovered(Direction& d, uint64_t start, const uint8_t* data, size_t size);
    Status<> deliver(int side, const uint8_t* data, size_t size, StreamSink& sink);
    // Hands on the waiting pieces that now follow the stream's end.
    Status<> drain(int side, StreamSink& sink);
    // Jumps the hole before the first waiting piece.
    Status<> jump_gap(int side, StreamSink& sink);
    Status<> end_connection(StreamSink& sink);

    size_t wait_limit_;
    Direction sides_[2];  // initiator, responder
    Endpoint initiator_;
    Endpoint responder_;
    uint32_t connection_ = 0;
    bool seen_ = false;
    bool reset_ = false;
    bool gap_counted_ = false;  // the current connection is in gaps_.connections
    StreamGaps gaps_;
};

}  // namespace flowsieve
