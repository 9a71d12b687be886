// Packets captured twice: the same IP packet seen on two interfaces of one
// host (tcpdump -i any with bridges or veths, two capture interfaces, a
// doubled SPAN port), each copy behind a link layer of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "packet/packet.hpp"

namespace flowsieve {

class DuplicateWindow {
public:
    static constexpr size_t kFrames = 64;
    static constexpr int64_t kWithinNs = 10'000'000;

    // A window that keeps copies of the bytes it compares, for frames that
    // are let go while it still remembers them (a stream's reused blocks):
    // at most kFrames datagrams. Otherwise it keeps only their addresses.
    explicit DuplicateWindow(bool keep_copies = false) : keep_copies_(keep_copies) {}

    // Whether the packet's IP bytes, from its IP header to the end of the
    // datagram (of the captured bytes, if shorter; link-layer padding left
    // out), equal those of one of the last kFrames packets with an IP layer
    // that it was given and did not find repeated, within kWithinNs of its
    // time either way. A packet that repeats none is remembered. The frames'
    // bytes must outlive the window, unless it keeps copies: those of a
    // capture's input do.
    bool repeats(const ParsedPacket& packet);

private:
    struct Seen {
        int64_t ns = 0;
        uint64_t hash = 0;
        const uint8_t* ip = nullptr;
        size_t size = 0;
    };
    std::array<Seen, kFrames> seen_{};
    std::array<std::vector<uint8_t>, kFrames> copies_;  // by slot, when kept
    bool keep_copies_;
    size_t next_ = 0;  // the slot the next packet takes, the oldest's
};

}  // namespace flowsieve
