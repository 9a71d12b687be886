// Flow keys: the compact form that numbers the builder's flows parts packets
// exactly where the key texts that name split's files do.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flow/strategy.hpp"

namespace {

using namespace flowsieve;

IpAddress v4(uint8_t last) {
    IpAddress a;
    a.bytes = {10, 0, 0, last};
    return a;
}

// The same address as ::ffff:10.0.0.last: the same last four bytes, another family.
IpAddress mapped(uint8_t last) {
    IpAddress a;
    a.family = 6;
    a.bytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, last};
    return a;
}

ParsedPacket packet(IpAddress src, IpAddress dst, uint16_t sport, uint16_t dport, uint8_t protocol = 6,
                    uint8_t src_mac = 1, uint8_t dst_mac = 2) {
    ParsedPacket p;
    p.ip = IpTuple{src, dst, sport, dport, protocol};
    p.src_mac = MacAddress{0, 0, 0, 0, 0, src_mac};
    p.dst_mac = MacAddress{0, 0, 0, 0, 0, dst_mac};
    p.bssid = p.dst_mac;
    return p;
}

// The packet as a mirror session of virtual network `vni` delivers it.
ParsedPacket in_vni(ParsedPacket p, uint32_t vni) {
    p.tunnel.depth = 1;
    p.tunnel.set_vni(vni);
    return p;
}

TEST(FlowKeys, CompactKeysAreEqualExactlyWhenTextsAre) {
    ParsedPacket no_ip;
    const std::vector<ParsedPacket> packets = {
        packet(v4(1), v4(2), 1234, 80),
        packet(v4(2), v4(1), 80, 1234),             // the reply
        packet(v4(1), v4(2), 1234, 80, 17),         // another protocol
        packet(v4(1), v4(2), 1234 + 256, 80),       // a port that differs in its high byte
        packet(v4(1), v4(2), 80, 1234),             // the ports swapped
        packet(v4(1), v4(1), 80, 1234),             // one host, both ways
        packet(v4(1), v4(1), 1234, 80),
        packet(mapped(1), mapped(2), 1234, 80),     // the same bytes in the other family
        packet(v4(1), v4(3), 1234, 80, 6, 1, 1),    // one MAC at both ends
        packet(v4(1), v4(2), 1234, 80, 6, 2, 1),
        no_ip,
        no_ip,
        in_vni(packet(v4(1), v4(2), 1234, 80), 101),  // two virtual networks, one address space
        in_vni(packet(v4(2), v4(1), 80, 1234), 101),
        in_vni(packet(v4(1), v4(2), 1234, 80), 102),
        in_vni(packet(v4(1), v4(2), 1234, 80), 0x10000 + 101),  // the same low bytes
        in_vni(packet(v4(1), v4(1), 80, 1234, 6, 1, 1), 101),
        in_vni(no_ip, 101),
    };
    for (SplitStrategy s : {SplitStrategy::Session, SplitStrategy::Flow, SplitStrategy::Host, SplitStrategy::Hostpair,
                            SplitStrategy::Mac, SplitStrategy::Bssid, SplitStrategy::Nosplit}) {
        std::vector<FlowKeys> texts, compact;
        for (const ParsedPacket& p : packets) {
            texts.push_back(keys_for(s, p, KeyForm::Text));
            compact.push_back(keys_for(s, p, KeyForm::Compact));
            ASSERT_EQ(compact.back().count, texts.back().count) << int(s);
            // Every key of a packet in a virtual network starts with it, but the one flow of all.
            for (const FlowKey& k : texts.back())
                EXPECT_EQ(k.text().starts_with("vni"), p.tunnel.has_vni && s != SplitStrategy::Nosplit) << k.text();
        }
        for (size_t i = 0; i < packets.size(); ++i)
            for (size_t j = 0; j < packets.size(); ++j)
                for (uint8_t a = 0; a < texts[i].count; ++a)
                    for (uint8_t b = 0; b < texts[j].count; ++b)
                        EXPECT_EQ(texts[i].keys[a] == texts[j].keys[b], compact[i].keys[a] == compact[j].keys[b])
                            << "strategy " << int(s) << ": " << texts[i].keys[a].text() << " / "
                            << texts[j].keys[b].text();
    }
}

}  // namespace
