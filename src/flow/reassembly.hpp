// TCP stream reassembly: the bytes each side of a connection sent, once and
// in sequence order, from the segments of one flow in capture order. Where
// connections begin and end is TcpConnections' decision.
//
// Rules, per direction:
// - The stream starts after the SYN's sequence number, or at the first
//   segment seen when the capture begins mid-connection; bytes before its
//   start belong to no stream.
// - Bytes before the next expected sequence number were delivered already
//   (retransmissions, keep-alive probes): they add nothing.
// - Overlapping segments keep the first bytes seen. A receiving stack keeps
//   what it queued first too, and a retransmission with other bytes in the
//   same place is a sign of tampering: the first version is the one that an
//   analyst following the connection has seen from the start.
// - Segments past a hole wait, up to a bound of memory per direction; past
//   the bound, and at the end of the connection, the hole is declared a gap
//   and the stream jumps over it: missing bytes are never invented. The
//   sink is told where each gap is; asked to, the reassembler fills it with
//   zeros instead, so that stream offsets hold.
// - The stream ends at its sender's FIN: bytes past it are left out, and
//   bytes before it that never came are a gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "flow/tcp_connections.hpp"
#include "util/result.hpp"

namespace flowsieve {

// Captured bytes that the streams leave out: connections that lost bytes
// and how many bytes the streams jumped over; bytes sent after their
// sender's FIN; bytes that belong to no connection's stream.
struct StreamGaps {
    uint64_t connections = 0;
    uint64_t bytes = 0;
    uint64_t after_fin = 0;
    uint64_t in_no_stream = 0;

    bool none() const { return !connections && !after_fin && !in_no_stream; }
    StreamGaps& operator+=(const StreamGaps& o) {
        connections += o.connections;
        bytes += o.bytes;
        after_fin += o.after_fin;
        in_no_stream += o.in_no_stream;
        return *this;
    }
};

// Where reassembled bytes go: `connection` counts the connections of the
// flow from 0 in the order they started; `initiator` tells whether the
// sender opened it (sent the SYN, or the first segment seen).
class StreamSink {
public:
    virtual Status<> bytes(uint32_t connection, const Endpoint& sender, bool initiator, const uint8_t* data,
                           size_t size) = 0;
    // A gap of `missing` bytes never captured, after the first `offset`
    // bytes handed on for the side (zeros that filled gaps before included);
    // with gaps filled, the zeros follow as bytes.
    virtual Status<> gap(uint32_t /*connection*/, const Endpoint& /*sender*/, bool /*initiator*/,
                         uint64_t /*offset*/, uint64_t /*missing*/) {
        return {};
    }

protected:
    ~StreamSink() = default;
};

// The connections of one flow, one after the other. Payload bytes are
// handed on where they lie, and those that wait are held where they lie:
// the caller keeps them valid until `finish`.
class TcpReassembler {
public:
    static constexpr size_t kDefaultWaitLimit = size_t(4) << 20;

    // `wait_limit` is also the window of TcpConnections: a SYN, FIN or RST
    // farther than that from its sender's bytes is not the connection's.
    // `fill_gaps`: each gap goes on as zeros.
    explicit TcpReassembler(size_t wait_limit = kDefaultWaitLimit, bool fill_gaps = false)
        : wait_limit_(wait_limit), fill_gaps_(fill_gaps), connections_(uint32_t(wait_limit)) {}

    Status<> add(const Endpoint& from, const Endpoint& to, const TcpSegment& segment, StreamSink& sink);
    // The end of the input: bytes still waiting go out, past their gaps.
    Status<> finish(StreamSink& sink);
    const StreamGaps& gaps() const { return gaps_; }
    // Connections seen so far, those without payload included.
    uint32_t connections() const { return connections_.count(); }

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
        uint64_t skipped = 0;  // bytes of gaps not filled, not handed on
        uint32_t end = 0;     // sequence number of its FIN, when `fin`
        bool started = false;
        bool fin = false;
        std::unique_ptr<Waiting> waiting;  // only while bytes wait
    };

    // The first segment of a side: its stream starts with it.
    void start(Direction& d, const TcpSegment& s);
    Status<> place(int side, uint32_t seq, const uint8_t* data, size_t size, StreamSink& sink);
    void keep_uncovered(Direction& d, uint64_t start, const uint8_t* data, size_t size);
    // The stream ends at `fin`: waiting bytes past it are left out.
    void end_at(Direction& d, uint32_t fin);
    // Goes past `missing` bytes never captured: tells the sink, and hands
    // on zeros in their place when gaps are filled.
    Status<> skip(int side, uint64_t missing, StreamSink& sink);
    Status<> deliver(int side, const uint8_t* data, size_t size, StreamSink& sink);
    // Hands on the waiting pieces that now follow the stream's end.
    Status<> drain(int side, StreamSink& sink);
    // Jumps the hole before the first waiting piece.
    Status<> jump_gap(int side, StreamSink& sink);
    Status<> end_connection(StreamSink& sink);

    size_t wait_limit_;
    bool fill_gaps_;
    TcpConnections connections_;
    Direction sides_[2];  // initiator, responder
    bool gap_counted_ = false;  // the current connection is in gaps_.connections
    StreamGaps gaps_;
};

}  // namespace flowsieve
