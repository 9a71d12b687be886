#include "archive/conditions.hpp"

#include <cctype>
#include <vector>

#include "flow/filter.hpp"

namespace flowsieve::archive {
namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly n digits at pos.
std::optional<unsigned> digits(std::string_view t, size_t& pos, size_t n) {
    if (pos + n > t.size()) return std::nullopt;
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!is_digit(t[pos + i])) return std::nullopt;
        v = v * 10 + unsigned(t[pos + i] - '0');
    }
    pos += n;
    return v;
}

// Nanoseconds of a fraction of a second after the point at pos: nine
// digits kept, further digits must be digits and are dropped.
std::optional<uint64_t> fraction(std::string_view t, size_t& pos) {
    if (pos >= t.size() || t[pos] != '.') return 0;
    ++pos;
    uint64_t nanos = 0;
    size_t n = 0;
    for (; pos < t.size() && is_digit(t[pos]); ++pos, ++n)
        if (n < 9) nanos = nanos * 10 + uint64_t(t[pos] - '0');
    if (n == 0) return std::nullopt;
    for (; n < 9; ++n) nanos *= 10;
    return nanos;
}

constexpr uint64_t kNanos = 1000000000;

// Seconds and nanoseconds as nanoseconds since the epoch, which fit 64
// bits until the year 2554.
std::optional<uint64_t> nanoseconds(uint64_t seconds, uint64_t nanos) {
    if (seconds > (UINT64_MAX - nanos) / kNanos) return std::nullopt;
    return seconds * kNanos + nanos;
}

std::optional<uint64_t> epoch_seconds(std::string_view t) {
    size_t pos = 0;
    uint64_t seconds = 0;
    for (; pos < t.size() && is_digit(t[pos]); ++pos) {
        const uint64_t digit = uint64_t(t[pos] - '0');
        if (seconds > (UINT64_MAX / kNanos - digit) / 10) return std::nullopt;
        seconds = seconds * 10 + digit;
    }
    if (pos == 0) return std::nullopt;
    auto nanos = fraction(t, pos);
    if (!nanos || pos != t.size()) return std::nullopt;
    return nanoseconds(seconds, *nanos);
}

std::optional<uint64_t> iso_time(std::string_view t) {
    size_t pos = 0;
    auto year = digits(t, pos, 4);
    if (!year || pos >= t.size() || t[pos++] != '-') return std::nullopt;
    auto month = digits(t, pos, 2);
    if (!month || pos >= t.size() || t[pos++] != '-') return std::nullopt;
    auto day = digits(t, pos, 2);
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!day || *month < 1 || *month > 12 || *day < 1 || *day > kDays[*month - 1]) return std::nullopt;
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    if (*month == 2 && *day == 29 && !leap) return std::nullopt;
    int64_t seconds = days_from_civil(*year, *month, *day) * 86400;
    uint64_t nanos = 0;
    if (pos < t.size() && (t[pos] == 'T' || t[pos] == 't' || t[pos] == ' ')) {
        ++pos;
        auto hour = digits(t, pos, 2);
        if (!hour || pos >= t.size() || t[pos++] != ':') return std::nullopt;
        auto minute = digits(t, pos, 2);
        std::optional<unsigned> second = 0;
        if (minute && pos < t.size() && t[pos] == ':') second = digits(t, ++pos, 2);
        if (!minute || !second || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
        auto part = fraction(t, pos);
        if (!part) return std::nullopt;
        seconds += int64_t(*hour) * 3600 + int64_t(*minute) * 60 + int64_t(*second);
        nanos = *part;
        if (pos < t.size() && (t[pos] == 'Z' || t[pos] == 'z')) {
            ++pos;
        } else if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
            const int sign = t[pos++] == '+' ? 1 : -1;
            auto off_hours = digits(t, pos, 2);
            std::optional<unsigned> off_minutes = 0;
            if (pos < t.size() && t[pos] == ':') ++pos;
            if (pos < t.size()) off_minutes = digits(t, pos, 2);
            if (!off_hours || !off_minutes || *off_hours > 23 || *off_minutes > 59) return std::nullopt;
            seconds -= sign * (int64_t(*off_hours) * 3600 + int64_t(*off_minutes) * 60);
        }
    }
    if (pos != t.size() || seconds < 0) return std::nullopt;
    return nanoseconds(uint64_t(seconds), nanos);
}

// Decimal digits alone, at most `max` (below 2^16).
std::optional<uint16_t> small_number(std::string_view text, uint32_t max) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        if (!is_digit(c)) return std::nullopt;
        v = v * 10 + uint32_t(c - '0');
    }
    if (v > max) return std::nullopt;
    return uint16_t(v);
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

}  // namespace

Result<uint64_t> parse_time(std::string_view text) {
    auto nanos = text.find('-') == std::string_view::npos ? epoch_seconds(text) : iso_time(text);
    if (!nanos) return Error{"seconds since the epoch or an ISO 8601 date and time, e.g. 2024-05-01T14:00:00Z"};
    return *nanos;
}

Result<StoredAddress> parse_address(std::string_view text) {
    auto ip = parse_ip_address(text);
    if (!ip) return Error{"not an IPv4 or IPv6 address"};
    return encode_address(*ip);
}

Result<uint8_t> parse_protocol(std::string_view text) {
    if (auto named = protocol_number(lowered(text))) return *named;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
        auto number = small_number(text, 255);
        if (!number) return Error{"at most 255"};
        return uint8_t(*number);
    }
    return Error{"protocol tcp, udp, icmp, icmpv6 or a number"};
}

Result<FiveTuple> parse_five_tuple(std::string_view text) {
    std::vector<std::string_view> words;
    for (size_t i = 0; i < text.size();) {
        const size_t start = text.find_first_not_of(" \t", i);
        if (start == std::string_view::npos) break;
        const size_t end = std::min(text.find_first_of(" \t", start), text.size());
        words.push_back(text.substr(start, end - start));
        i = end;
    }
    if (words.size() != 5) return Error{"give PROTO ADDR PORT ADDR PORT"};
    FiveTuple t;
    auto protocol = parse_protocol(words[0]);
    if (!protocol) return Error{"protocol tcp, udp, icmp, icmpv6 or a number"};
    t.protocol = *protocol;
    for (size_t i : {1, 3}) {
        auto address = parse_address(words[i]);
        if (!address) return Error{"'" + std::string(words[i]) + "' is " + address.error().message};
        (i == 1 ? t.a : t.b) = *address;
    }
    for (size_t i : {2, 4}) {
        auto port = small_number(words[i], 65535);
        if (!port) return Error{"'" + std::string(words[i]) + "' is not a port number (0 to 65535)"};
        (i == 2 ? t.a_port : t.b_port) = *port;
    }
    return t;
}

Result<std::string> parse_community_id(std::string_view text) {
    static constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bool valid = text.size() == 30 && text.substr(0, 2) == "1:" && text.back() == '=';
    for (size_t i = 2; valid && i < 29; ++i) {
        const size_t value = kBase64.find(text[i]);
        // The last digit holds the last 4 bits of the 20 bytes, then zeros.
        valid = value != std::string_view::npos && (i < 28 || value % 4 == 0);
    }
    if (!valid) return Error{"1: and the base64 of 20 bytes (30 characters, ending in =)"};
    return std::string(text);
}

Result<ConnState> parse_conn_state(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (auto state = conn_state_named(upper)) return *state;
    return Error{"Unknown state: " + std::string(text) +
                 ". Valid: S0, S1, SF, REJ, S2, S3, RSTO, RSTR, RSTOS0, RSTRH, SH, SHR, OTH"};
}

}  // namespace flowsieve::archive
