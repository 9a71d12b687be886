#include "flow/strategy.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace flowsieve {

void append_decimal(FlowKey& out, uint32_t value) {
    char digits[10];
    char* start = digits + sizeof digits;
    do {
        *--start = char('0' + value % 10);
        value /= 10;
    } while (value);
    out.append(std::string_view(start, size_t(digits + sizeof digits - start)));
}

namespace {

constexpr std::string_view kStrategyNames[] = {"session", "flow", "host", "hostpair",
                                               "mac", "bssid", "nosplit", "connection"};

// Every key holds addresses, so the texts of the 256 byte values are made once.
struct ByteTexts {
    char text[256][4];
    uint8_t length[256];
    constexpr ByteTexts() : text{}, length{} {
        for (int v = 0; v < 256; ++v) {
            int n = 0;
            if (v >= 100) text[v][n++] = char('0' + v / 100);
            if (v >= 10) text[v][n++] = char('0' + v / 10 % 10);
            text[v][n++] = char('0' + v % 10);
            length[v] = uint8_t(n);
        }
    }
};
constexpr ByteTexts kByteTexts;

void append_hex(FlowKey& out, unsigned value, bool leading_zeros, int width) {
    static constexpr char kHex[] = "0123456789abcdef";
    bool started = leading_zeros;
    for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) {
        unsigned nibble = (value >> shift) & 0xF;
        if (nibble || started || shift == 0) {
            out.push(kHex[nibble]);
            started = true;
        }
    }
}

void append_dotted(FlowKey& out, const uint8_t* b) {
    char text[16];  // 15 characters at most; each octet copies 4 bytes
    size_t n = 0;
    for (int i = 0; i < 4; ++i) {
        if (i) text[n++] = '.';
        std::memcpy(text + n, kByteTexts.text[b[i]], 4);
        n += kByteTexts.length[b[i]];
    }
    out.append(std::string_view(text, n));
}

void append_ipv6(FlowKey& out, const uint8_t* b) {
    static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(b, kMappedPrefix, 12) == 0) {
        out.append("::ffff:");
        append_dotted(out, b + 12);
        return;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = unsigned(b[2 * i]) << 8 | b[2 * i + 1];
    // The first longest run of two or more zero groups becomes "::".
    int best_start = -1, best_len = 1;
    for (int i = 0; i < 8;) {
        if (groups[i]) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && !groups[j]) ++j;
        if (j - i > best_len) best_start = i, best_len = j - i;
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == best_start) {
            out.append("::");
            i += best_len - 1;
            continue;
        }
        if (i && i != best_start + best_len) out.push(':');
        append_hex(out, groups[i], false, 4);
    }
}

void append_mac(FlowKey& out, const MacAddress& mac) {
    for (uint8_t byte : mac) append_hex(out, byte, true, 2);
}

// IPv4 sorts before IPv6; within a family, by the address bytes.
int compare_addresses(const IpAddress& a, const IpAddress& b) {
    if (a.family != b.family) return a.family < b.family ? -1 : 1;
    // Sizes the compiler knows, so that no call to memcmp is made.
    return a.family == 4 ? std::memcmp(a.bytes.data(), b.bytes.data(), 4)
                         : std::memcmp(a.bytes.data(), b.bytes.data(), 16);
}

// The fields of a key in either form: a compact key holds the protocol as
// one byte, a port as two, an address as its family and bytes, and nothing
// for the text of a packet without the fields (the only key of its strategy
// that has none), so every field has one width and separators are not needed.
template <KeyForm F>
void put_protocol(FlowKey& k, uint8_t protocol) {
    if constexpr (F == KeyForm::Text) append_decimal(k, protocol);
    else k.push(char(protocol));
}

template <KeyForm F>
void put_port(FlowKey& k, uint16_t port) {
    if constexpr (F == KeyForm::Text) {
        append_decimal(k, port);
    } else {
        const uint8_t bytes[2] = {uint8_t(port >> 8), uint8_t(port)};
        k.append<2>(bytes);
    }
}

template <KeyForm F>
void put_address(FlowKey& k, const IpAddress& a) {
    if constexpr (F == KeyForm::Text) {
        append_address(k, a);
    } else {
        k.push(char(a.family));
        if (a.family == 4) k.append<4>(a.bytes.data());
        else k.append<16>(a.bytes.data());
    }
}

template <KeyForm F>
void put_mac(FlowKey& k, const MacAddress& mac) {
    if constexpr (F == KeyForm::Text) append_mac(k, mac);
    else k.append<6>(mac.data());
}

template <KeyForm F>
void put_separator(FlowKey& k) {
    if constexpr (F == KeyForm::Text) k.push('_');
}

// Written in place: keys are made for every packet.
template <KeyForm F>
void five_tuple(FlowKey& k, uint8_t protocol, const IpAddress& a, const IpAddress& b, uint16_t port_a,
                uint16_t port_b) {
    put_protocol<F>(k, protocol);
    put_separator<F>(k);
    put_address<F>(k, a);
    put_separator<F>(k);
    put_address<F>(k, b);
    put_separator<F>(k);
    put_port<F>(k, port_a);
    put_separator<F>(k);
    put_port<F>(k, port_b);
}

// "vni101_" in a text, three bytes in a compact key, whose length then
// tells it apart.
template <KeyForm F>
FlowKey vni_prefix(uint32_t vni) {
    FlowKey k;
    if constexpr (F == KeyForm::Text) {
        k.append("vni");
        append_decimal(k, vni);
        k.push('_');
    } else {
        const uint8_t bytes[3] = {uint8_t(vni >> 16), uint8_t(vni >> 8), uint8_t(vni)};
        k.append<3>(bytes);
    }
    return k;
}

// What every key of a packet starts with: nothing, or (`Vni`) the prefix
// of its VNI. Keys are written after it in place, as they are made for
// every packet.
template <KeyForm F, bool Vni>
class KeyStart {
public:
    KeyStart() requires(!Vni) = default;
    explicit KeyStart(const FlowKey& prefix) requires Vni : prefix_(&prefix) {}
    // The next key of `out`, holding the start only.
    FlowKey& next(FlowKeys& out) const {
        if constexpr (Vni) {
            FlowKey& k = out.keys[out.count++];
            k = *prefix_;
            return k;
        } else {
            return out.next();
        }
    }
    FlowKey key() const {
        if constexpr (Vni) return *prefix_;
        else return FlowKey();
    }
    FlowKey fieldless(std::string_view text) const {
        FlowKey k = key();
        if constexpr (F == KeyForm::Text) k.append(text);
        return k;
    }
    FlowKey address(const IpAddress& a) const {
        FlowKey k = key();
        put_address<F>(k, a);
        return k;
    }
    FlowKey mac(const MacAddress& mac) const {
        FlowKey k = key();
        put_mac<F>(k, mac);
        return k;
    }

private:
    const FlowKey* prefix_ = nullptr;
};

template <KeyForm F, bool Vni>
void keys_in(FlowKeys& out, SplitStrategy strategy, const ParsedPacket& p, const KeyStart<F, Vni>& start) {
    out.count = 0;
    const IpTuple* ip = p.ip ? &*p.ip : nullptr;
    switch (strategy) {
        case SplitStrategy::Session:
        case SplitStrategy::Connection: {
            if (!ip) {
                out.add(start.fieldless("no_session"));
                break;
            }
            int order = compare_addresses(ip->src_ip, ip->dst_ip);
            bool src_first = order < 0 || (order == 0 && ip->src_port < ip->dst_port);
            if (src_first)
                five_tuple<F>(start.next(out), ip->protocol, ip->src_ip, ip->dst_ip, ip->src_port, ip->dst_port);
            else
                five_tuple<F>(start.next(out), ip->protocol, ip->dst_ip, ip->src_ip, ip->dst_port, ip->src_port);
            break;
        }
        case SplitStrategy::Flow:
            if (!ip) out.add(start.fieldless("no_flow"));
            else five_tuple<F>(start.next(out), ip->protocol, ip->src_ip, ip->dst_ip, ip->src_port, ip->dst_port);
            break;
        case SplitStrategy::Host:
            if (!ip) {
                out.add(start.fieldless("no_host"));
            } else {
                // A packet to its own host goes into that host's flow once.
                out.add(start.address(ip->src_ip));
                if (!(ip->dst_ip == ip->src_ip)) out.add(start.address(ip->dst_ip));
            }
            break;
        case SplitStrategy::Hostpair: {
            if (!ip) {
                out.add(start.fieldless("no_hostpair"));
                break;
            }
            bool src_first = compare_addresses(ip->src_ip, ip->dst_ip) < 0;
            FlowKey k = start.address(src_first ? ip->src_ip : ip->dst_ip);
            put_separator<F>(k);
            put_address<F>(k, src_first ? ip->dst_ip : ip->src_ip);
            out.add(k);
            break;
        }
        case SplitStrategy::Mac:
            if (p.src_mac) out.add(start.mac(*p.src_mac));
            if (p.dst_mac) {
                FlowKey dst = start.mac(*p.dst_mac);
                if (out.count == 0 || !(dst == out.keys[0])) out.add(dst);
            }
            if (out.count == 0) out.add(start.fieldless("no_mac"));
            break;
        case SplitStrategy::Bssid:
            out.add(p.bssid ? start.mac(*p.bssid) : start.fieldless("no_bssid"));
            break;
        case SplitStrategy::Nosplit:
            // One flow of all, whatever the VNI.
            out.add(KeyStart<F, false>().fieldless("all"));
            break;
    }
}

// Apart, so that keying a packet outside tunnels spends nothing on a prefix.
template <KeyForm F>
[[gnu::noinline]] void keys_with_vni(FlowKeys& out, SplitStrategy strategy, const ParsedPacket& p) {
    const FlowKey prefix = vni_prefix<F>(p.tunnel.vni_value);
    keys_in(out, strategy, p, KeyStart<F, true>(prefix));
}

}  // namespace

void append_address(FlowKey& out, const IpAddress& address) {
    if (address.family == 4) append_dotted(out, address.bytes.data());
    else append_ipv6(out, address.bytes.data());
}

void sanitize_key(char* key, size_t size) {
    // Runs for every packet, hence a table rather than a search per character.
    static constexpr auto kUnsafe = [] {
        std::array<bool, 256> unsafe{};
        for (int c = 0; c < 0x20; ++c) unsafe[c] = true;
        unsafe[0x7F] = true;
        for (unsigned char c : std::string_view("\"*./:<>?\\|")) unsafe[c] = true;
        return unsafe;
    }();
    for (char* c = key; c != key + size; ++c)
        if (kUnsafe[static_cast<unsigned char>(*c)]) *c = '_';
}

Result<SplitStrategy> parse_strategy(std::string_view given, std::string_view lowered) {
    for (size_t i = 0; i < std::size(kStrategyNames); ++i)
        if (lowered == kStrategyNames[i]) return SplitStrategy(i);
    return Error{"Unknown strategy: " + std::string(given)};
}

void keys_into(FlowKeys& out, SplitStrategy strategy, const ParsedPacket& p, KeyForm form) {
    if (p.tunnel.has_vni) [[unlikely]] {
        if (form == KeyForm::Text) keys_with_vni<KeyForm::Text>(out, strategy, p);
        else keys_with_vni<KeyForm::Compact>(out, strategy, p);
    } else if (form == KeyForm::Text) {
        keys_in(out, strategy, p, KeyStart<KeyForm::Text, false>());
    } else {
        keys_in(out, strategy, p, KeyStart<KeyForm::Compact, false>());
    }
}

}  // namespace flowsieve
