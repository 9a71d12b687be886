// Capture input: mapping, format detection and both readers.
#include <unistd.h>

#include <fstream>
#include <thread>

#include "capture_builder.hpp"

namespace fstest {
namespace {

const std::string kUnknown = "Unsupported file format (unknown magic number)";
const Bytes kFrame = ether(0x0800, ipv4(6, tcp(1000, 80)));

Bytes contents(const SharedBytes& s) { return Bytes(s.data(), s.data() + s.size()); }
template <class... T> auto fields(const T&... v) { return std::tuple(v...); }

std::string write_temp(const std::string& name, const Bytes& bytes) {
    std::string path = testing::TempDir() + "/fs_" + std::to_string(::getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
}

TEST(MapInput, FilesAndTheirFailures) {
    std::string empty = write_temp("empty", {});
    auto mapped = map_input(empty);
    ::unlink(empty.c_str());
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->size(), 0u);
    EXPECT_EQ(map_input("/nonexistent/capture.pcap").error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(map_input(std::string("a\0b", 3)).error().message, "file name contained an unexpected NUL byte");
}

TEST(MapInput, DashReadsAllOfStandardInput) {
    Bytes piped(300000);  // several pipe buffers and several growth steps
    for (size_t i = 0; i < piped.size(); ++i) piped[i] = uint8_t(i * 7);
    int saved = ::dup(0), fds[2];  // saved is -1 when standard input is closed already
    ASSERT_EQ(::pipe(fds), 0);
    if (fds[0] != 0) ::dup2(fds[0], 0), ::close(fds[0]);
    std::thread writer([&] { EXPECT_EQ(::write(fds[1], piped.data(), piped.size()), ssize_t(piped.size())); ::close(fds[1]); });
    auto read = map_input("-");
    writer.join();
    ::close(0);
    auto closed = map_input("-");  // descriptor 0 closed: empty input
    if (saved >= 0) ::dup2(saved, 0), ::close(saved);
    ASSERT_TRUE(read && closed);
    EXPECT_EQ(contents(*read), piped);
    EXPECT_EQ(read_capture(*closed).error_text(), kUnknown);
}

TEST(SharedBytes, PacketsOutliveReaderAndEmptySlicesHoldNothing) {
    std::string path = write_temp("alive.pcap", pcap(1, {{1, 2, kFrame}, {3, 4, {}, 60}}));
    auto input = map_input(path);
    ASSERT_TRUE(input);
    Capture c = read_capture(std::move(input).value());  // reader and input are gone now
    ::unlink(path.c_str());
    ASSERT_EQ(c.packets.size(), 2u);
    EXPECT_EQ(contents(c.packets[0].data), kFrame);
    EXPECT_TRUE(c.packets[0].data.holds_storage());
    EXPECT_FALSE(c.packets[1].data.holds_storage());
    SharedBytes bytes = shared({1, 2, 3});
    EXPECT_FALSE(bytes.slice(1, 0).holds_storage());
    EXPECT_EQ(contents(bytes.slice(1, 2)), (Bytes{2, 3}));
}

TEST(OpenCapture, RejectsUnknownAndShortInput) {
    const std::string small = "Invalid PCAP format: file too small for global header";
    std::vector<std::pair<Bytes, std::string>> cases = {{{}, kUnknown}, {{0xD4}, kUnknown}, {{0xD4, 0xC3, 0xB2}, kUnknown},
        {{0xA1, 0xB2, 0xC3, 0xD5}, kUnknown}, {{0x0A, 0x0D, 0x0D, 0x0B}, kUnknown}, {Bytes(64, 0), kUnknown}};
    for (Bytes magic : {Bytes{0xD4, 0xC3, 0xB2, 0xA1}, {0xA1, 0xB2, 0xC3, 0xD4}, {0x4D, 0x3C, 0xB2, 0xA1}, {0xA1, 0xB2, 0x3C, 0x4D}})
        cases.insert(cases.end(), {{magic, small}, {cat(magic, Bytes(19, 0)), small}});
    for (const auto& [file, text] : cases) {
        Capture c = read_capture(file);
        EXPECT_EQ(c.error_text(), text) << "file of " << file.size() << " bytes";
        EXPECT_TRUE(c.packets.empty());
    }
}

// Classic pcap files, parametrized by (big-endian, nanosecond).
class PcapFormats : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(PcapFormats, DeliversRecordsAndIgnoresATrailingFragment) {
    auto [big, nanos] = GetParam();
    const Bytes file = pcap(1, {{10, nanos ? 123456789u : 123456u, kFrame, 99}, {11, nanos ? 1500000999u : 1500000u, {}, 60}}, big, nanos);
    for (size_t extra = 0; extra < 16; ++extra) {
        Capture c = read_capture(cat(file, Bytes(extra, 0xFF)));
        EXPECT_EQ(fields(c.error_text(), c.link_type, c.packets.size()), fields(std::string(), 1u, size_t(2)));
        ASSERT_EQ(c.packets.size(), 2u);
        const ParsedPacket &p = c.packets[0], &empty = c.packets[1];
        EXPECT_EQ(fields(p.ts_sec, p.ts_usec, p.orig_len, p.incl_len), fields(10u, 123456u, 99u, 54u));
        EXPECT_EQ(contents(p.data), kFrame);
        EXPECT_EQ(p.ip.value().dst_port, 80);
        EXPECT_EQ(fields(empty.ts_sec, empty.ts_usec, empty.orig_len, empty.incl_len), fields(11u, 1500000u, 60u, 0u));
    }
}

TEST_P(PcapFormats, ReportsTheWholeLinkType) {
    auto [big, nanos] = GetParam();
    Capture c = read_capture(pcap(0x10000001, {}, big, nanos));  // the global header alone
    EXPECT_EQ(fields(c.link_type, c.packets.size(), c.error_text()), fields(0x10000001u, size_t(0), std::string()));
    c = read_capture(pcap(0x10000001, {{1, 1, kFrame}}, big, nanos));
    ASSERT_EQ(c.packets.size(), 1u);
    EXPECT_FALSE(c.packets[0].src_mac || c.packets[0].ip);  // raw IP, and byte 0 is 0x02
}

TEST_P(PcapFormats, RecordBeyondTheFileFails) {
    auto [big, nanos] = GetParam();
    Capture c = read_capture(pcap(1, {{1, 0, Bytes(60, 0), 0, 100}}, big, nanos));
    EXPECT_EQ(fields(c.packets.size(), c.error_text()),
              fields(size_t(0), std::string("Invalid PCAP format: packet incl_len 100 exceeds remaining data at offset 40")));
    c = read_capture(pcap(1, {{1, 0, kFrame}, {1, 0, Bytes(3, 0), 0, 4}}, big, nanos));
    EXPECT_EQ(fields(c.packets.size(), c.error_text()),
              fields(size_t(1), std::string("Invalid PCAP format: packet incl_len 4 exceeds remaining data at offset 110")));
}

INSTANTIATE_TEST_SUITE_P(ByteOrderAndResolution, PcapFormats, testing::Combine(testing::Bool(), testing::Bool()));

// pcapng, parametrized by big-endian.
class PcapNgFormats : public testing::TestWithParam<bool> {};

TEST_P(PcapNgFormats, ConvertsTimestampsPerInterface) {
    const bool big = GetParam();
    const Bytes wlan = wifi(2, false, true, snap(0x0800, ipv4(6, tcp(1000, 80)))), raw = ipv4(6, tcp(1000, 80));
    PcapNg ng{big};
    ng.shb().block(0x0BAD, Bytes(5, 0xEE));  // unknown, total length not a multiple of 4
    ng.idb(1, {{2, {'e', 't', 'h', '0'}}, {9, {3}}, {9, {9}}});  // a later if_tsresol wins: 10^9
    ng.idb(105, {{9, {3}}}).idb(1, {{9, {0x86}}}).idb(1, {{9, {20}}}).idb(1, {{9, {100}}}).idb(1, {{9, {127}}});
    ng.idb(101, {{9, {0}}}).idb(1, {{9, {19}}});
    ng.block(1, cat(ints(big, {{1, 2}, {0, 6}, {9, 2}, {8, 2}}), Bytes{3, 0, 0, 0}));  // if_tsresol 3 running into the trailer: not read
    struct Expect { uint32_t interface; uint64_t ticks; uint32_t sec, usec, link; };
    const std::vector<Expect> expected = {{0, 1500000123456789000u, 1500000123, 456789, 1}, {1, 1234, 1, 234000, 105},
        {2, 3000005, 46875, 78125, 1}, {3, 3000005, 3, 5, 1}, {4, 3000005, 3, 5, 1}, {5, 3000005, 3, 5, 1}, {6, 7, 7, 0, 101},
        {7, ~uint64_t(0), 1, 844674, 1}, {8, 3000005, 3, 5, 1}, {99, 3000005, 3, 5, 1},
        {2, 0x7FFFFFFFFFFFFFFF, 4294967295, 984375, 1}};  // 2^-6 s; seconds keep their low 32 bits
    for (const Expect& e : expected) ng.epb(e.interface, e.ticks, e.link == 105 ? wlan : e.link == 101 ? raw : kFrame, 1000);
    ng.block(0x40000BAD, Bytes(7, 1)).idb(101).epb(9, 3000005, kFrame);  // a late IDB is not added
    ng.spb(5, {1, 2, 3, 4, 5}).block(3, ints(big, {{77, 4}})).epb(0, 0, {});  // the second SPB is 16 bytes long
    Capture c = read_capture(ng.bytes);
    EXPECT_EQ(fields(c.error_text(), c.link_type), fields(std::string(), 1u));
    ASSERT_EQ(c.packets.size(), expected.size() + 4);
    for (size_t i = 0; i < expected.size(); ++i) {
        const ParsedPacket& p = c.packets[i];
        const Expect& e = expected[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(fields(p.ts_sec, p.ts_usec, p.orig_len, p.ip.value().src_port), fields(e.sec, e.usec, 1000u, uint16_t(1000)));
        EXPECT_EQ(fields(p.bssid.has_value(), p.src_mac.has_value()), fields(e.link == 105, e.link != 101));
    }
    const ParsedPacket *late = &c.packets[expected.size()], *spb = late + 1, *bare = late + 2, *empty = late + 3;
    EXPECT_EQ(fields(late->ts_sec, late->ts_usec, late->src_mac.has_value()), fields(3u, 5u, true));
    EXPECT_EQ(fields(spb->ts_sec, spb->ts_usec, spb->orig_len, contents(spb->data)), fields(0u, 0u, 5u, Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(fields(bare->orig_len, bare->incl_len, empty->incl_len), fields(77u, 0u, 0u));
}

TEST_P(PcapNgFormats, InterfaceTableSpansSectionsAndByteOrderIsFixedByTheScan) {
    const bool big = GetParam();
    const Bytes wlan = wifi(0, false, false, snap(0x0800, ipv4(6, tcp(1000, 80))));
    PcapNg ng{big};
    ng.shb().idb(105).shb(!big).idb(1, {{9, {3}}}).epb(1, 1234, kFrame).epb(0, 5, wlan).spb(60, kFrame);
    ng.shb(big).idb(1).epb(0, 1, kFrame);  // this total length reads wrongly in the order fixed by the scan
    Capture c = read_capture(ng.bytes);
    EXPECT_EQ(fields(c.error_text(), c.link_type), fields(std::string(), 105u));
    ASSERT_EQ(c.packets.size(), 3u);
    EXPECT_EQ(fields(c.packets[0].ts_sec, c.packets[0].ts_usec, c.packets[0].bssid.has_value()), fields(1u, 234000u, false));
    EXPECT_TRUE(c.packets[1].bssid);
    EXPECT_TRUE(c.packets[2].ip && !c.packets[2].bssid);  // an SPB is always Ethernet

    c = read_capture(PcapNg{big}.shb().epb(0, 3000005, kFrame).bytes);  // no IDB at all
    ASSERT_EQ(c.packets.size(), 1u);
    EXPECT_EQ(fields(c.link_type, c.packets[0].ts_sec, c.packets[0].ts_usec, c.packets[0].ip.has_value()), fields(1u, 3u, 5u, true));
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, PcapNgFormats, testing::Bool());

TEST(PcapNgReader, MalformedBlocks) {
    const Bytes good = PcapNg().shb().idb(1).epb(0, 1, kFrame).epb(0, 2, kFrame).bytes;
    struct Case { Bytes file; size_t packets; std::string error; };
    const std::vector<Case> cases = {
        {PcapNg().block(0x0A0D0D0A, {}).bytes, 0, "SHB too short"},
        {PcapNg().block(0x0A0D0D0A, cat(Bytes{1, 2, 3, 4}, Bytes(12, 0))).bytes, 0, "Unknown byte order magic: 0x04030201"},
        {PcapNg().shb().block(1, Bytes(4, 0)).bytes, 0, "IDB too short"},
        {PcapNg().shb().epb(0, 1, kFrame).block(6, Bytes(16, 0)).bytes, 1, "EPB too short"},
        {PcapNg().shb().block(6, cat(Bytes(12, 0), ints(false, {{5, 4}, {5, 4}}), Bytes(4, 0))).bytes, 0, "EPB packet data exceeds block"},
        {PcapNg().shb().block(3, {}).bytes, 0, "SPB too short"},
        {Bytes(good.begin(), good.end() - 5), 1, ""},      // cut inside the last block
        {Bytes(good.begin(), good.begin() + 40), 0, ""},  // cut inside the IDB
        // the scan stops 8 bytes into a block that overruns the file, and reading starts there
        {cat(PcapNg().shb().bytes, Bytes{0xAD, 0x0B, 0, 0, 0xFF, 0xFF, 0, 0}, PcapNg().epb(0, 1, kFrame).bytes), 1, ""},
    };
    for (const Case& k : cases) {
        Capture c = read_capture(k.file);
        EXPECT_EQ(fields(c.packets.size(), c.error_text()), fields(k.packets, k.error.empty() ? "" : "Invalid PCAP-NG format: " + k.error));
    }
}

}  // namespace
}  // namespace fstest
