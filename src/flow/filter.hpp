// Address and port filters that decide which packets take part.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packet/packet.hpp"
#include "util/call.hpp"
#include "util/result.hpp"

namespace flowsieve {

// Strict address grammars: dotted-decimal IPv4 without leading zeros, and
// the RFC 4291 IPv6 text forms; no blanks, brackets, zones or prefixes.
std::optional<IpAddress> parse_ip_address(std::string_view text);

// A further test of each frame by its link type and bytes, such as a
// compiled filter expression. It is asked on the reading thread, after the
// address and port filters have taken the packet.
class FrameFilter {
public:
    virtual ~FrameFilter() = default;
    // Readies the test for the capture's link type before anything is read
    // or written; its error ends the call.
    virtual Status<CallError> prepare(uint32_t link_type) = 0;
    virtual bool accepts(const ParsedPacket& packet) = 0;
};

class PacketFilter {
public:
    // Fails with "invalid IP address syntax: '<text>'" for the first text
    // that is not an address: dropping it would quietly widen the filter.
    // The frame filter, when given, must outlive the packet filter.
    static Result<PacketFilter> build(const std::vector<std::string>& ip_texts, const std::vector<uint16_t>& ports,
                                      FrameFilter* frames = nullptr);
    bool accepts(const ParsedPacket& packet) const;

private:
    bool has_port(uint16_t port) const { return port_bits_[port >> 6] >> (port & 63) & 1; }

    std::vector<IpAddress> ips_;
    // One bit per port number when ports are given, so that a packet costs
    // two lookups however many there are.
    std::vector<uint64_t> port_bits_;
    FrameFilter* frames_ = nullptr;
};

}  // namespace flowsieve
