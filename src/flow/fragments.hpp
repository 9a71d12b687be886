// Keeps the fragments of an IP datagram in the datagram's flow. A fragment
// after the first has no transport header, so it is given what the
// datagram's first fragment (same addresses, identification and, for IPv4,
// protocol) has of it: the ports, the ICMP type and code, and for IPv6 the
// protocol behind the extension headers.
//
// A later fragment that comes before its first fragment waits for it, and so
// does every packet read after it, so that packets leave in capture order.
// The wait is bounded: when too many datagrams or bytes wait, or the capture
// ends, the oldest waiting fragments leave with ports 0.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "packet/packet.hpp"

namespace flowsieve {

class FragmentMatcher {
public:
    static constexpr size_t kMaxWaitingDatagrams = 64;
    static constexpr uint64_t kMaxWaitingBytes = 4 << 20;
    static constexpr size_t kMaxWaitingPackets = 16384;

    // Whether the packet must go through the matcher: it is a fragment, or
    // packets wait. One branch, not taken in a capture without fragments.
    bool takes(const ParsedPacket& p) const { return (p.fragment != FragmentPart::None) | !waiting_.empty(); }

    void add(ParsedPacket&& packet);
    // At the end of the capture nothing waits any longer.
    void finish();
    // Whether packets wait, so that every packet must go through add.
    bool waiting() const { return !waiting_.empty(); }
    // Whether a packet may leave, and the next one to leave.
    bool ready() const { return !waiting_.empty() && !waiting_.front().held; }
    ParsedPacket take();

    // Later fragments given their first fragment's transport facts, and those left with ports 0.
    uint64_t matched() const { return matched_; }
    uint64_t unmatched() const { return unmatched_; }

private:
    // What makes fragments one datagram's.
    struct Datagram {
        IpAddress src;
        IpAddress dst;
        uint8_t protocol = 0;  // IPv4 only: IPv6 leaves it out
        uint32_t id = 0;

        static Datagram of(const ParsedPacket& p);
        bool operator==(const Datagram& o) const {
            return id == o.id && protocol == o.protocol && src == o.src && dst == o.dst;
        }
    };
    struct FirstFragment {
        Datagram datagram;
        IpTuple tuple;
        // The tunnels of a first fragment of a tunnel's outer datagram,
        // which its later fragments are given with the inner tuple.
        TunnelFacts tunnel;
    };
    struct Waiting {
        ParsedPacket packet;
        bool held;  // a later fragment whose first fragment has not come
    };

    const FirstFragment* find_first(const Datagram& d) const;
    void give_ports(const FirstFragment& first, ParsedPacket& p);
    void release(Datagram d, const FirstFragment* first);  // d by value: it may lie in held_
    void bound_waiting();

    // The latest first fragments, a ring.
    std::array<FirstFragment, kMaxWaitingDatagrams> firsts_{};
    size_t first_count_ = 0;
    size_t next_first_ = 0;

    std::deque<Waiting> waiting_;  // in capture order; the front is held
    std::vector<Datagram> held_;   // the datagrams with held fragments, oldest first
    uint64_t waiting_bytes_ = 0;
    uint64_t matched_ = 0;
    uint64_t unmatched_ = 0;
};

}  // namespace flowsieve
