// Address and port filters that decide which packets take part.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packet/packet.hpp"

namespace flowsieve {

// Strict address grammars: dotted-decimal IPv4 without leading zeros, and
// the RFC 4291 IPv6 text forms; no blanks, brackets, zones or prefixes.
std::optional<IpAddress> parse_ip_address(std::string_view text);

class PacketFilter {
public:
    // Texts that are not addresses are dropped without a message.
    static PacketFilter build(const std::vector<std::string>& ip_texts, const std::vector<uint16_t>& ports);
    bool accepts(const ParsedPacket& packet) const;

private:
    std::vector<IpAddress> ips_;
    std::vector<uint16_t> ports_;
};

}  // namespace flowsieve
