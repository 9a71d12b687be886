// Frame dissection: link layers, IPv4, the IPv6 header walk, ports and payload offsets.
#include "capture_builder.hpp"

namespace fstest {
namespace {

Bytes cut(Bytes b, size_t n) { b.resize(n); return b; }
Bytes with(Bytes b, size_t at, uint8_t v) { b[at] = v; return b; }

// n Destination Options headers of 8 bytes, the last naming `last`.
Bytes dest_opts(int n, uint8_t last) {
    Bytes out;
    for (int i = 0; i < n; ++i) out = cat(out, ext6(i + 1 < n ? 60 : last, 0, 8));
    return out;
}

// A frame and what it decodes to; an absent protocol means no ip. The
// payload ends with the frame unless `end` says otherwise.
struct Case { const char* name; uint32_t link; Bytes frame; bool macs; std::optional<uint8_t> protocol; uint16_t sport = 0, dport = 0;
              std::optional<uint64_t> payload = {}; std::optional<uint64_t> end = {};
              FragmentPart fragment = FragmentPart::None; uint32_t id = 0; };

// Ethernet tags before an EtherType, each with VLAN 100.
Bytes tagged(std::initializer_list<uint16_t> tags, uint16_t type, const Bytes& payload) {
    Bytes b = cat(kMac1, kMac2);
    for (uint16_t t : tags) b = cat(b, be16(t), be16(100));
    return cat(b, be16(type), payload);
}
// An MPLS label stack of n labels, the last with the bottom-of-stack bit.
Bytes mpls(int n, const Bytes& payload, bool bottom = true) {
    Bytes b;
    for (int i = 0; i < n; ++i) b = cat(b, Bytes{0, 0x10, uint8_t(bottom && i + 1 == n), 64});
    return cat(b, payload);
}
Bytes pppoe(uint16_t protocol, const Bytes& payload) { return cat(Bytes{0x11, 0, 0, 1}, be16(uint16_t(payload.size() + 2)), be16(protocol), payload); }
Bytes cooked(const Bytes& payload, uint16_t protocol = 0x0800) { return cat(Bytes{0, 0, 0, 1, 0, 6}, kMac1, Bytes{0, 0}, be16(protocol), payload); }
Bytes cooked2(const Bytes& payload, uint16_t protocol = 0x0800) { return cat(be16(protocol), Bytes(6, 0), Bytes{0, 1, 0, 6}, kMac1, Bytes{0, 0}, payload); }
Bytes family(uint32_t f, bool big, const Bytes& payload) { return cat(ints(big, {{f, 4}}), payload); }
Bytes with16(Bytes b, size_t at, uint16_t v) { b[at] = uint8_t(v >> 8); b[at + 1] = uint8_t(v); return b; }

TEST(DissectFrame, LinkNetworkAndTransportHeaders) {
    const Bytes tcp4 = ipv4(6, tcp(1000, 80));
    const std::vector<Case> cases = {
        // Ethernet and 802.1Q
        {"13-byte Ethernet", 1, Bytes(13, 0), false, {}},
        {"Ethernet with no IP header", 1, ether(0x0800, {}), true, {}},
        {"60-byte frame, padding is not payload", 1, ether(0x0800, cat(tcp4, Bytes(6, 0))), true, 6, 1000, 80, 54, 54},
        {"IPv6 padding is not payload", 1, ether(0x86DD, cat(ipv6(17, udp(1, 2, {7})), Bytes(3, 0))), true, 17, 1, 2, 62, 63},
        {"total length 0 (offload)", 1, ether(0x0800, cat(with16(tcp4, 2, 0), Bytes(6, 0))), true, 6, 1000, 80, 54, 60},
        {"IPv6 payload length 0", 1, ether(0x86DD, cat(with16(ipv6(17, udp(1, 2)), 4, 0), Bytes(3, 0))), true, 17, 1, 2, 62, 65},
        {"total length past the capture (snap length)", 1, ether(0x0800, ipv4(6, tcp(1, 2, Bytes(9, 1)))), true, 6, 1, 2, 54},
        {"total length inside the headers", 1, ether(0x0800, cat(with16(tcp4, 2, 30), Bytes(6, 0))), true, 6, 1000, 80, 54, 60},
        {"802.1Q, IP and TCP options", 1, vlan(0x0800, ipv4(6, tcp(1, 2, {}, 8), 6)), true, 6, 1, 2, 18 + 24 + 32},
        {"802.1Q IPv6 UDP", 1, vlan(0x86DD, ipv6(17, udp(5, 6, {9}))), true, 17, 5, 6, 18 + 40 + 8},
        {"802.1ad outer tag", 1, vlan(0x0800, tcp4, 0x88A8), true, 6, 1000, 80, 58},
        {"802.1ad then 802.1Q", 1, tagged({0x88A8, 0x8100}, 0x86DD, ipv6(17, udp(5, 6))), true, 17, 5, 6, 22 + 48},
        {"eight tags", 1, tagged({0x9100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100}, 0x0800, tcp4), true, 6, 1000, 80, 46 + 40},
        {"nine tags", 1, tagged({0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100}, 0x0800, tcp4), true, {}},
        {"tag stack cut short", 1, cut(tagged({0x88A8, 0x8100}, 0x0800, tcp4), 20), true, {}},
        {"MPLS, one label", 1, ether(0x8847, mpls(1, tcp4)), true, 6, 1000, 80, 58},
        {"tagged MPLS, three labels, IPv6", 1, tagged({0x8100}, 0x8848, mpls(3, ipv6(6, tcp(3, 4)))), true, 6, 3, 4, 18 + 12 + 60},
        {"MPLS, eight labels", 1, ether(0x8847, mpls(8, tcp4)), true, 6, 1000, 80, 46 + 40},
        {"MPLS, nine labels", 1, ether(0x8847, mpls(9, tcp4)), true, {}},
        {"MPLS without bottom of stack", 1, ether(0x8847, mpls(2, tcp4, false)), true, {}},
        {"MPLS over Ethernet pseudowire", 1, ether(0x8847, mpls(1, ether(0x0800, tcp4))), true, {}},
        {"PPPoE IPv4", 1, ether(0x8864, pppoe(0x0021, tcp4)), true, 6, 1000, 80, 62},
        {"tagged PPPoE IPv6", 1, tagged({0x8100}, 0x8864, pppoe(0x0057, ipv6(17, udp(5, 6)))), true, 17, 5, 6, 26 + 48},
        {"PPPoE LCP", 1, ether(0x8864, pppoe(0xC021, tcp4)), true, {}},
        {"PPPoE discovery", 1, ether(0x8863, pppoe(0x0021, tcp4)), true, {}},
        {"PPPoE header cut short", 1, cut(ether(0x8864, pppoe(0x0021, tcp4)), 21), true, {}},
        {"802.1Q tag cut at 17 bytes", 1, cut(vlan(0x0800, tcp4), 17), true, {}},
        {"ARP", 1, ether(0x0806, tcp4), true, {}},
        {"802.1Q carrying ARP", 1, vlan(0x0806, tcp4), true, {}},
        {"IPv6 EtherType over an IPv4 header", 1, ether(0x86DD, ipv4(17, udp(7, 8))), true, 17, 7, 8, 42},
        {"IP version 5", 1, ether(0x0800, with(tcp4, 0, 0x55)), true, {}},
        // IPv4
        {"IHL 4", 1, ether(0x0800, ipv4(6, tcp(1, 2), 4)), true, {}},
        {"IHL beyond the capture", 1, cut(ether(0x0800, ipv4(6, {}, 15)), 54), true, {}},
        {"10 bytes of TCP", 1, cut(ether(0x0800, tcp4), 44), true, 6, 1000, 80},
        {"19 bytes of TCP", 1, cut(ether(0x0800, tcp4), 53), true, 6, 1000, 80},
        {"6 bytes of UDP", 1, cut(ether(0x0800, ipv4(17, udp(1, 2))), 40), true, 17, 1, 2, 40},
        {"3 bytes of TCP", 1, cut(ether(0x0800, tcp4), 37), true, 6, 0, 0, 34},
        {"TCP data offset beyond the capture", 1, ether(0x0800, with(tcp4, 32, 0xF0)), true, 6, 1000, 80, 54},
        {"first fragment read as a whole datagram", 1, ether(0x0800, fragment4(ipv4(17, udp(3, 4)), 9, 0, true)), true, 17, 3, 4, 42, {},
         FragmentPart::First, 9},
        {"later fragment: no ports, payload after the IP header", 1, ether(0x0800, fragment4(ipv4(17, udp(3, 4)), 9, 1, false)),
         true, 17, 0, 0, 34, {}, FragmentPart::Later, 9},
        {"later fragment with options", 1, ether(0x0800, fragment4(ipv4(6, tcp(3, 4), 6), 0xFFFF, 0x1FFF, true)), true, 6, 0, 0, 38, {},
         FragmentPart::Later, 0xFFFF},
        {"later ICMP fragment", 1, ether(0x0800, fragment4(ipv4(1, Bytes(8, 0)), 9, 1, true)), true, 1, 0, 0, {}, {}, FragmentPart::Later, 9},
        {"don't-fragment flag alone", 1, ether(0x0800, with(ipv4(17, udp(3, 4)), 6, 0x40)), true, 17, 3, 4, 42},
        {"ICMP", 1, ether(0x0800, ipv4(1, Bytes(8, 0))), true, 1},
        {"GRE", 1, ether(0x0800, ipv4(47, Bytes(8, 0))), true, 47, 0, 0, 34},
        {"IPv4 ESP", 1, ether(0x0800, ipv4(50, Bytes(16, 0))), true, 50, 0, 0, 34},
        // IPv6 and its extension headers
        {"IPv6 of 39 bytes", 1, cut(ether(0x86DD, ipv6(59, {})), 53), true, {}},
        {"ICMPv6", 1, ether(0x86DD, ipv6(58, Bytes(8, 0))), true, 58},
        {"IPv6 ESP", 1, ether(0x86DD, ipv6(50, Bytes(16, 0))), true, 50},
        {"no next header", 1, ether(0x86DD, ipv6(59, {})), true, 59},
        {"Hop-by-Hop then UDP", 1, ether(0x86DD, ipv6(0, cat(ext6(17, 0, 8), udp(5, 6)))), true, 17, 5, 6, 14 + 40 + 8 + 8},
        {"every extension kind then TCP", 1,
         ether(0x86DD, ipv6(0, cat(ext6(43, 0, 8), ext6(44, 1, 16), ext6(51, 0xFF, 8), ext6(60, 4, 24), ext6(6, 0, 8),
                                   tcp(7, 8, {}, 6)))),
         true, 6, 7, 8, 14 + 40 + 8 + 16 + 8 + 24 + 8 + 24},
        {"first IPv6 fragment", 1, ether(0x86DD, ipv6(44, cat(frag6(17, 0, true, 0x89ABCDEF), udp(5, 6)))), true, 17, 5, 6,
         14 + 40 + 8 + 8, {}, FragmentPart::First, 0x89ABCDEF},
        {"later IPv6 fragment behind Hop-by-Hop", 1, ether(0x86DD, ipv6(0, cat(ext6(44, 0, 8), frag6(60, 1, false, 7), udp(5, 6)))),
         true, 60, 0, 0, 14 + 40 + 8 + 8, {}, FragmentPart::Later, 7},
        {"later ICMPv6 fragment", 1, ether(0x86DD, ipv6(44, cat(frag6(58, 1, true, 7), Bytes(8, 0)))), true, 58, 0, 0, {}, {},
         FragmentPart::Later, 7},
        {"atomic fragment is a whole datagram", 1, ether(0x86DD, ipv6(44, cat(frag6(17, 0, false, 7), udp(5, 6)))), true, 17, 5, 6,
         14 + 40 + 8 + 8},
        {"Fragment header cut after its offset", 1, cut(ether(0x86DD, ipv6(44, frag6(17, 1, true, 7))), 14 + 40 + 5), true, 17, 0, 0,
         14 + 45},
        {"ESP after Hop-by-Hop", 1, ether(0x86DD, ipv6(0, cat(ext6(50, 0, 8), Bytes(8, 0)))), true, 50},
        {"eight extension headers then UDP", 1, ether(0x86DD, ipv6(60, cat(dest_opts(8, 17), udp(1, 2)))), true, 17, 1, 2, 126},
        {"ninth extension header is not walked", 1, ether(0x86DD, ipv6(60, cat(dest_opts(8, 0), Bytes(8, 0)))), true, 0, 0, 0, 118},
        {"ESP as the ninth value", 1, ether(0x86DD, ipv6(60, cat(dest_opts(8, 50), Bytes(8, 0)))), true, 50, 0, 0, 118},
        {"59 as the ninth value", 1, ether(0x86DD, ipv6(60, dest_opts(8, 59))), true, 59, 0, 0, 118},
        {"chain cut inside a header", 1, cut(ether(0x86DD, ipv6(0, ext6(17, 0, 8))), 14 + 41), true, {}},
        {"chain runs past the capture", 1, ether(0x86DD, ipv6(0, cat(ext6(60, 1, 8), Bytes(4, 0)))), true, {}},
        {"UDP past the capture", 1, ether(0x86DD, ipv6(0, ext6(17, 200, 8))), true, 17, 0, 0, 62},
        // Linux cooked v1 and v2, null and loop
        {"Linux cooked", 113, cooked(tcp4), false, 6, 1000, 80, 56},
        {"Linux cooked IPv6", 113, cooked(ipv6(17, udp(1, 2)), 0x86DD), false, 17, 1, 2, 64},
        {"Linux cooked ARP", 113, cooked(tcp4, 0x0806), false, {}},
        {"Linux cooked, 15 bytes", 113, cut(cooked(tcp4), 15), false, {}},
        {"Linux cooked v2", 276, cooked2(tcp4), false, 6, 1000, 80, 60},
        {"Linux cooked v2 ARP", 276, cooked2(tcp4, 0x0806), false, {}},
        {"Linux cooked v2, 19 bytes", 276, cut(cooked2(tcp4), 19), false, {}},
        {"null, little-endian IPv4", 0, family(2, false, tcp4), false, 6, 1000, 80, 44},
        {"null, big-endian IPv6 (24)", 0, family(24, true, ipv6(17, udp(1, 2))), false, 17, 1, 2, 52},
        {"null, IPv6 (28)", 0, family(28, false, ipv6(17, udp(1, 2))), false, 17, 1, 2, 52},
        {"null, IPv6 (30)", 0, family(30, false, ipv6(17, udp(1, 2))), false, 17, 1, 2, 52},
        {"null, other family", 0, family(7, false, tcp4), false, {}},
        {"null, 3 bytes", 0, Bytes{2, 0, 0}, false, {}},
        {"loop, IPv4", 108, family(2, true, tcp4), false, 6, 1000, 80, 44},
        {"loop, little-endian family", 108, family(2, false, tcp4), false, {}},
        // every other link type is raw IP
        {"raw IPv4", 101, ipv4(17, udp(1, 2, {7})), false, 17, 1, 2, 28},
        {"raw IPv6 TCP", 229, ipv6(6, tcp(3, 4)), false, 6, 3, 4, 60},
        {"Ethernet under link type 0x30000001", 0x30000001, ether(0x0800, tcp4), false, {}},
        {"empty frame", 101, {}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ParsedPacket p = dissect(c.frame, c.link);
        EXPECT_EQ(std::tuple(p.incl_len, p.src_mac.has_value(), p.dst_mac.has_value(), p.bssid.has_value(), p.payload_offset),
                  std::tuple(uint32_t(c.frame.size()), c.macs, c.macs, false, c.payload));
        if (p.payload_offset) EXPECT_EQ(p.payload_end, c.end.value_or(c.frame.size()));
        EXPECT_EQ(std::tuple(p.fragment, p.fragment_id), std::tuple(c.fragment, c.id));
        ASSERT_EQ(p.ip.has_value(), c.protocol.has_value());
        if (p.ip) {
            EXPECT_EQ(std::tuple(p.ip->protocol, p.ip->src_port, p.ip->dst_port), std::tuple(*c.protocol, c.sport, c.dport));
        }
    }
}

TEST(DissectFrame, AddressesInFrameOrderAndOwnFamily) {
    const ParsedPacket v4 = dissect(ether(0x0800, ipv4(6, tcp(1, 2))));
    const IpAddress src4{4, {10, 0, 0, 1}}, dst4{4, {10, 0, 0, 2}}, mapped{6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 1}};
    EXPECT_EQ(std::tuple(v4.dst_mac.value(), v4.src_mac.value()), std::tuple(MacAddress{2, 0, 0, 0, 0, 1}, MacAddress{2, 0, 0, 0, 0, 2}));
    EXPECT_TRUE(v4.ip.value().src_ip == src4 && v4.ip->dst_ip == dst4);
    const ParsedPacket v6 = dissect(ipv6(17, udp(1, 2), Bytes(mapped.bytes.begin(), mapped.bytes.end())), 101);
    EXPECT_TRUE(v6.ip.value().src_ip == mapped && v6.ip->dst_ip.family == 6);  // an IPv4-mapped address stays IPv6
}

TEST(DissectFrame, Ieee80211AddressesBssidAndPayload) {
    const MacAddress a1{2, 0, 0, 0, 0, 1}, a2{2, 0, 0, 0, 0, 2}, a3{2, 0, 0, 0, 0, 3};
    struct Row { unsigned type; bool to_ds, from_ds; std::optional<MacAddress> bssid; };
    const std::vector<Row> rows = {{0, false, false, a3}, {0, true, true, a3}, {1, false, false, {}}, {3, false, true, {}},
                                   {2, false, false, a3}, {2, false, true, a2}, {2, true, false, a1}, {2, true, true, {}}};
    const Bytes body = snap(0x0800, ipv4(17, udp(1, 2, {9})));
    for (const Row& r : rows) {
        const Bytes frame = wifi(r.type, r.to_ds, r.from_ds, body);
        const size_t header = r.to_ds && r.from_ds ? 30 : 24;
        for (uint16_t rt : {0, 4, 13}) {  // link type 105, then radiotap headers of 4 and 13 bytes
            SCOPED_TRACE(testing::Message() << "type " << r.type << " ToDS " << r.to_ds << " FromDS " << r.from_ds << " radiotap " << rt);
            const Bytes full = rt ? radiotap(frame, rt) : frame;
            ParsedPacket p = dissect(full, rt ? 127 : 105);
            EXPECT_EQ(std::tuple(p.dst_mac, p.src_mac, p.bssid), std::tuple(a1, a2, r.bssid));
            EXPECT_EQ(std::tuple(p.ip.value().dst_port, p.payload_offset), std::tuple(2, std::optional<uint64_t>(rt + header + 8 + 28)));
            // Too short for the 802.11 header; LLC/SNAP cut short; a SNAP header without IP.
            EXPECT_FALSE(dissect(cut(full, rt + 23), rt ? 127 : 105).src_mac);
            p = dissect(cut(full, rt + header + 7), rt ? 127 : 105);
            EXPECT_TRUE(p.src_mac && !p.ip && !p.payload_offset);
            EXPECT_FALSE(dissect(with(full, rt + header + 7, 0x06), rt ? 127 : 105).ip);
        }
    }
    EXPECT_TRUE(dissect(with(wifi(2, false, true, body), 1, 0x42), 105).ip);  // the protected flag is not looked at
}

TEST(DissectFrame, BrokenRadiotapHeadersDecodeNothing) {
    const Bytes frame = wifi(2, false, true, snap(0x0800, ipv4(17, udp(1, 2))));
    Bytes too_long = radiotap(frame);
    too_long[2] = too_long[3] = 0xFF;
    for (const Bytes& f : {radiotap(frame, 8, 1), radiotap(frame, 3), too_long, Bytes{0, 0, 4}}) {
        const ParsedPacket p = dissect(f, 127);
        EXPECT_FALSE(p.src_mac || p.bssid || p.ip || p.payload_offset) << f.size();
    }
}

}  // namespace
}  // namespace fstest
