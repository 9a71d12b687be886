// Later fragments of a datagram get its first fragment's ports; packets leave in capture order.
#include "capture_builder.hpp"
#include "flow/fragments.hpp"

namespace fstest {
namespace {

// UDP from 10.0.0.1:3 to 10.0.0.2:4 in fragments; a later fragment's bytes would read as ports 8224.
Bytes first4(uint16_t id) { return ether(0x0800, fragment4(ipv4(17, udp(3, 4, Bytes(8, 'a'))), id, 0, true)); }
Bytes later4(uint16_t id, bool last = true) { return ether(0x0800, fragment4(ipv4(17, Bytes(16, ' ')), id, 2, !last)); }
Bytes whole4(size_t payload = 0) { return ether(0x0800, ipv4(17, udp(7, 8, Bytes(payload, 'w')))); }
Bytes patched(Bytes frame, size_t at, uint8_t value) { frame[at] = value; return frame; }
// IPv6 whose first fragment holds Destination Options before UDP 5 -> 6.
Bytes first6() { return ether(0x86DD, ipv6(44, cat(frag6(60, 0, true, 0x10000), ext6(17, 0, 8), udp(5, 6, Bytes(8, 'b'))))); }
Bytes later6() { return ether(0x86DD, ipv6(44, cat(frag6(60, 2, false, 0x10000), Bytes(16, ' ')))); }

struct Out { uint8_t protocol; uint16_t sport, dport; };
const Out kUdp{17, 3, 4}, kLost{17, 0, 0}, kWhole{17, 7, 8};

struct Scenario { const char* name; std::vector<Bytes> frames; std::vector<Out> out; uint64_t matched, unmatched; };

std::vector<Scenario> scenarios() {
    std::vector<Scenario> s = {
        {"in order", {first4(1), later4(1, false), whole4(), later4(1)}, {kUdp, kUdp, kWhole, kUdp}, 2, 0},
        {"last first: the packets after it wait", {later4(1), whole4(), later4(1, false), first4(1), whole4()},
         {kUdp, kWhole, kUdp, kUdp, kWhole}, 2, 0},
        {"interleaved datagrams", {later4(2), later4(1), first4(1), first4(2)}, {kUdp, kUdp, kUdp, kUdp}, 2, 0},
        {"lone later fragment", {whole4(), later4(1), whole4()}, {kWhole, kLost, kWhole}, 0, 1},
        {"other identification, source or protocol",
         {first4(1), later4(2), patched(later4(1), 14 + 15, 9), patched(later4(1), 14 + 9, 6)},
         {kUdp, kLost, kLost, {6, 0, 0}}, 0, 3},
        {"IPv6 takes the protocol behind the first fragment's options", {later6(), first6()}, {{17, 5, 6}, {17, 5, 6}}, 1, 0},
        {"4 MiB waiting lets the oldest go", {later4(1), whole4(4 << 20), first4(1), later4(1)}, {kLost, kWhole, kUdp, kUdp}, 1, 1},
    };
    // 65 datagrams waiting: the oldest leaves with ports 0; the others wait on.
    Scenario many{"65 datagrams waiting", {}, {}, 1, 64};
    for (uint16_t id = 0; id <= 64; ++id) many.frames.push_back(later4(id)), many.out.push_back(id == 1 ? kUdp : kLost);
    many.frames.insert(many.frames.end(), {first4(0), first4(1)});
    many.out.insert(many.out.end(), {kUdp, kUdp});
    s.push_back(many);
    return s;
}

TEST(FragmentMatcher, GivesLaterFragmentsTheirDatagramsPortsInCaptureOrder) {
    for (const Scenario& c : scenarios()) {
        SCOPED_TRACE(c.name);
        FragmentMatcher matcher;
        std::vector<ParsedPacket> out;
        auto drain = [&] {
            while (matcher.ready()) out.push_back(matcher.take());
        };
        for (size_t i = 0; i < c.frames.size(); ++i) {
            ParsedPacket p = dissect_frame({uint32_t(i), 0, 0}, 0, shared(c.frames[i]), 1);
            if (!matcher.takes(p)) {
                out.push_back(std::move(p));
                continue;
            }
            matcher.add(std::move(p));
            drain();
        }
        matcher.finish();
        drain();
        ASSERT_EQ(out.size(), c.out.size());
        for (size_t i = 0; i < out.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(out[i].ts_sec, i);
            EXPECT_EQ(std::tuple(out[i].ip->protocol, out[i].ip->src_port, out[i].ip->dst_port),
                      std::tuple(c.out[i].protocol, c.out[i].sport, c.out[i].dport));
        }
        EXPECT_EQ(std::tuple(matcher.matched(), matcher.unmatched()), std::tuple(c.matched, c.unmatched));
        EXPECT_FALSE(matcher.takes(dissect(whole4())));
    }
}

}  // namespace
}  // namespace fstest
