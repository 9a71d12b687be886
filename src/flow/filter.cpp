#include "flow/filter.hpp"

#include <algorithm>

namespace flowsieve {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_ipv4(std::string_view s, uint8_t out[4]) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part) {
            if (at >= s.size() || s[at] != '.') return false;
            ++at;
        }
        size_t start = at;
        unsigned value = 0;
        while (at < s.size() && is_digit(s[at]) && at - start < 3) value = value * 10 + unsigned(s[at++] - '0');
        size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && s[start] == '0')) return false;
        out[part] = uint8_t(value);
    }
    return at == s.size();
}

bool parse_ipv6(std::string_view s, uint8_t out[16]) {
    uint16_t head[8], tail[8];
    int n_head = 0, n_tail = 0;
    bool compressed = false;
    uint8_t v4[4];
    bool has_v4 = false;
    size_t at = 0;

    if (s.substr(0, 2) == "::") {
        compressed = true;
        at = 2;
    } else if (s.empty() || s[0] == ':') {
        return false;
    }
    while (at < s.size()) {
        int groups = n_head + n_tail;
        // A trailing dotted IPv4 part counts as two groups.
        size_t end = s.find_first_of(':', at);
        std::string_view piece = s.substr(at, end == std::string_view::npos ? s.npos : end - at);
        if (piece.find('.') != std::string_view::npos) {
            if (end != std::string_view::npos || groups > 6 || !parse_ipv4(piece, v4)) return false;
            has_v4 = true;
            at = s.size();
            break;
        }
        if (piece.empty() || piece.size() > 4 || groups >= 8) return false;
        unsigned value = 0;
        for (char c : piece) {
            int h = hex_value(c);
            if (h < 0) return false;
            value = value << 4 | unsigned(h);
        }
        (compressed ? tail[n_tail++] : head[n_head++]) = uint16_t(value);
        at += piece.size();
        if (at == s.size()) break;
        // at points at ':'
        if (s.substr(at, 2) == "::") {
            if (compressed) return false;
            compressed = true;
            at += 2;
        } else {
            ++at;
            if (at == s.size()) return false;  // a single trailing ':'
        }
    }
    int total = n_head + n_tail + (has_v4 ? 2 : 0);
    if (compressed ? total > 7 : total != 8) return false;

    uint16_t groups[8] = {};
    for (int i = 0; i < n_head; ++i) groups[i] = head[i];
    int tail_start = 8 - n_tail - (has_v4 ? 2 : 0);
    for (int i = 0; i < n_tail; ++i) groups[tail_start + i] = tail[i];
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = uint8_t(groups[i] >> 8);
        out[2 * i + 1] = uint8_t(groups[i]);
    }
    if (has_v4) std::copy(v4, v4 + 4, out + 12);
    return true;
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
    IpAddress a;
    if (parse_ipv4(text, a.bytes.data())) {
        a.family = 4;
        return a;
    }
    if (parse_ipv6(text, a.bytes.data())) {
        a.family = 6;
        return a;
    }
    return std::nullopt;
}

Result<PacketFilter> PacketFilter::build(const std::vector<std::string>& ip_texts, const std::vector<uint16_t>& ports,
                                         FrameFilter* frames) {
    PacketFilter f;
    f.frames_ = frames;
    for (const std::string& text : ip_texts) {
        auto a = parse_ip_address(text);
        if (!a) return Error{"invalid IP address syntax: '" + text + "'"};
        f.ips_.push_back(*a);
    }
    if (!ports.empty()) {
        f.port_bits_.resize(65536 / 64);
        for (uint16_t port : ports) f.port_bits_[port >> 6] |= uint64_t(1) << (port & 63);
    }
    return f;
}

bool PacketFilter::accepts(const ParsedPacket& p) const {
    if (!ips_.empty()) {
        if (!p.ip) return false;
        bool hit = std::any_of(ips_.begin(), ips_.end(), [&](const IpAddress& a) {
            return a == p.ip->src_ip || a == p.ip->dst_ip;
        });
        if (!hit) return false;
    }
    if (!port_bits_.empty() && (!p.ip || !(has_port(p.ip->src_port) || has_port(p.ip->dst_port)))) return false;
    return !frames_ || frames_->accepts(p);
}

}  // namespace flowsieve
