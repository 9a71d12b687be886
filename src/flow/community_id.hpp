// Community ID version 1 of a flow: the flow hash that Zeek, Suricata,
// Arkime and Wireshark print, so that flows join their logs.
#pragma once

#include <string>

#include "packet/packet.hpp"

namespace flowsieve {

// "1:" + base64 of SHA-1 over the seed (0, u16 big-endian), the two
// addresses, the protocol, a zero byte and, for TCP, UDP, SCTP, ICMP and
// ICMPv6, two ports, the endpoints ordered so that both directions of a
// flow give one ID. ICMP and ICMPv6 messages take their type as the source
// port and, for requests and replies, the type of the other one as the
// destination port (otherwise their code, and no reordering).
std::string community_id(const IpTuple& tuple);

}  // namespace flowsieve
