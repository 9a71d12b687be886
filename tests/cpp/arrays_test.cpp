// Flow arrays: a flow's rows from hand-made packets, the .npy header and the zip CRC.
#include <cstring>
#include <map>

#include "arrays/npz.hpp"
#include "capture_builder.hpp"
#include "util/crc32.hpp"

namespace fstest {
namespace {

std::map<std::string, Bytes> drained(std::vector<arrays::Array> columns) {
    std::map<std::string, Bytes> out;
    for (arrays::Array& a : columns)
        a.data.drain([&](const uint8_t* data, size_t size) {
            out[a.name].insert(out[a.name].end(), data, data + size);
            return true;
        });
    return out;
}

template <class T>
std::vector<T> as(const Bytes& b) {
    std::vector<T> out(b.size() / sizeof(T));
    std::memcpy(out.data(), b.data(), b.size());
    return out;
}

// A session from an address to itself: the ports tell the directions. Its
// first K rows are cut at the end, its payload at L across packets.
TEST(FlowArrays, LoopSessionRows) {
    const Bytes self(16, 0x22);
    const std::vector<std::pair<uint32_t, Bytes>> frames = {
        {100, ether(0x86DD, ipv6(6, tcp(1000, 2000, {'a', 'b', 'c'}), self))},
        {350, ether(0x86DD, ipv6(6, tcp(2000, 1000), self))},
        {400, ether(0x86DD, ipv6(6, tcp(1000, 2000, {'d', 'e', 'f', 'g'}), self))},
    };
    arrays::Builder builder({4, 44, 5, true});
    builder.add_flow({7, 6, {}, {}, 1000, 2000, "k"}, 3);
    for (const auto& [usec, frame] : frames)
        builder.add_packet(0, dissect_frame({1, usec, 0}, uint32_t(frame.size() + 4),
                                            SharedBytes(nullptr, frame.data(), frame.size()), 1));
    auto a = drained(builder.finish(true));
    EXPECT_EQ(as<int8_t>(a["directions"]), (std::vector<int8_t>{0, 1, 0, -1}));
    EXPECT_EQ(as<int64_t>(a["iat_ns"]), (std::vector<int64_t>{0, 250000, 50000, -1}));
    EXPECT_EQ(as<int32_t>(a["sizes"]), (std::vector<int32_t>{81, 78, 82, -1}));
    EXPECT_EQ(as<uint8_t>(a["tcp_flags"]), (Bytes{0x18, 0x18, 0x18, 0}));
    EXPECT_EQ(a["payload"], (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(as<int32_t>(a["payload_len"]), std::vector<int32_t>{5});
    EXPECT_EQ(as<uint64_t>(a["fwd_packets"]), std::vector<uint64_t>{2});
    EXPECT_EQ(as<uint64_t>(a["bwd_bytes"]), std::vector<uint64_t>{78});
    EXPECT_EQ(as<int64_t>(a["start_ns"]), std::vector<int64_t>{1000100000});
    EXPECT_EQ(as<uint32_t>(a["source"]), std::vector<uint32_t>{3});
    // The first packet's 44 bytes: its IPv6 header with both addresses zeroed, then the ports.
    const Bytes first(a["packet_bytes"].begin(), a["packet_bytes"].begin() + 44);
    EXPECT_EQ(first, cat(Bytes(frames[0].second.begin() + 14, frames[0].second.begin() + 22), Bytes(32, 0),
                         be16(1000), be16(2000)));
    EXPECT_EQ(a["key"], (Bytes{'k', 0, 0, 0}));
}

TEST(Npz, HeaderAlignsTheBytesAndCrcIsZips) {
    arrays::Array a{"sizes", "<i4", {3, 8}, arrays::Column(32, 0)};
    const std::string header = arrays::npy_header(a);
    EXPECT_EQ(header.size() % 64, 0u);
    EXPECT_EQ(header.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    EXPECT_NE(header.find("'descr': '<i4', 'fortran_order': False, 'shape': (3, 8), }"), std::string::npos);
    EXPECT_EQ(header.back(), '\n');
    const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(crc32_update(0, digits, 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update(crc32_update(0, digits, 3), digits + 3, 6), 0xCBF43926u);
}

}  // namespace
}  // namespace fstest
