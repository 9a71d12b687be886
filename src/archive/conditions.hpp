// The text forms of a query's conditions, as the command's options and the
// module's arguments give them. Each error is the reason alone; the caller
// names the option or argument and quotes the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/query.hpp"
#include "util/result.hpp"

namespace flowsieve::archive {

// Nanoseconds since the epoch of seconds since the epoch (with a fraction
// of up to nine digits; further digits are dropped) or an ISO 8601 date,
// optionally with a time (HH:MM[:SS[.fraction]], after T or a space) and an
// offset (Z, +HH, +HH:MM, +HHMM, or -); UTC without one.
Result<uint64_t> parse_time(std::string_view text);

// IPv4 or IPv6 text, as stored in the table and the index.
Result<StoredAddress> parse_address(std::string_view text);

// tcp, udp, icmp or icmpv6 in any case, or a number.
Result<uint8_t> parse_protocol(std::string_view text);

// "PROTO ADDR PORT ADDR PORT" separated by spaces or tabs; PROTO a name or
// a number.
Result<FiveTuple> parse_five_tuple(std::string_view text);

// "1:" and the base64 of the 20 bytes of a SHA-1 digest, as flows carry it:
// any other text would match no flow.
Result<std::string> parse_community_id(std::string_view text);

// A connection state as Zeek names it (SF, S0, REJ, ...), in any case.
Result<ConnState> parse_conn_state(std::string_view text);

}  // namespace flowsieve::archive
