#include "flow/community_id.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "util/sha1.hpp"

namespace flowsieve {
namespace {

constexpr uint8_t kIcmp = 1;
constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kIcmpv6 = 58;
constexpr uint8_t kSctp = 132;

// The message type that answers (or asks) this one.
std::optional<uint8_t> counterpart(uint8_t protocol, uint8_t type) {
    static constexpr std::pair<uint8_t, uint8_t> kIcmpPairs[] = {{8, 0}, {13, 14}, {15, 16}, {10, 9}, {17, 18}};
    static constexpr std::pair<uint8_t, uint8_t> kIcmpv6Pairs[] = {
        {128, 129}, {130, 131}, {133, 134}, {135, 136}, {139, 140}, {144, 145}};
    auto find = [&](const auto& pairs) -> std::optional<uint8_t> {
        for (auto [a, b] : pairs) {
            if (type == a) return b;
            if (type == b) return a;
        }
        return std::nullopt;
    };
    return protocol == kIcmp ? find(kIcmpPairs) : find(kIcmpv6Pairs);
}

std::string base64(const uint8_t* data, size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < size; i += 3) {
        const size_t n = std::min<size_t>(3, size - i);
        uint32_t group = uint32_t(data[i]) << 16;
        if (n > 1) group |= uint32_t(data[i + 1]) << 8;
        if (n > 2) group |= data[i + 2];
        for (size_t j = 0; j < 4; ++j) out += j <= n ? kAlphabet[(group >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
}

}  // namespace

std::string community_id(const IpTuple& t) {
    const uint8_t* src = t.src_ip.bytes.data();
    const uint8_t* dst = t.dst_ip.bytes.data();
    const size_t address_size = t.src_ip.size();
    bool has_ports = true, one_way = false;
    uint16_t src_port = 0, dst_port = 0;
    switch (t.protocol) {
        case kTcp:
        case kUdp:
            src_port = t.src_port;
            dst_port = t.dst_port;
            break;
        case kSctp:
            src_port = t.sctp_src_port;
            dst_port = t.sctp_dst_port;
            break;
        case kIcmp:
        case kIcmpv6: {
            src_port = t.icmp_type;
            auto other = counterpart(t.protocol, t.icmp_type);
            dst_port = other ? *other : t.icmp_code;
            one_way = !other;
            break;
        }
        default:
            has_ports = false;
    }
    const int order = std::memcmp(src, dst, address_size);
    if (!one_way && (order > 0 || (order == 0 && (!has_ports || src_port >= dst_port)))) {
        std::swap(src, dst);
        std::swap(src_port, dst_port);
    }

    uint8_t head[2] = {0, 0};  // seed 0
    uint8_t tail[6] = {t.protocol, 0, uint8_t(src_port >> 8), uint8_t(src_port), uint8_t(dst_port >> 8),
                       uint8_t(dst_port)};
    Sha1 sha;
    sha.update(head, sizeof head);
    sha.update(src, address_size);
    sha.update(dst, address_size);
    sha.update(tail, has_ports ? 6 : 2);
    const Sha1::Digest digest = sha.finish();
    return "1:" + base64(digest.data(), digest.size());
}

}  // namespace flowsieve
