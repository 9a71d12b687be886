// The readers against public captures, and against every cut and many
// corruptions of small generated ones.
#include <filesystem>
#include <random>
#include <set>

#include "capture_builder.hpp"

namespace fstest {
namespace {

namespace fs = std::filesystem;
const fs::path kCaptures = FLOWSIEVE_CAPTURES_DIR;

// Whatever the input: packets are consistent and lie inside it, and an error is one of the capture errors.
void check(const Capture& c, const SharedBytes& input) {
    for (const ParsedPacket& p : c.packets) {
        ASSERT_EQ(p.incl_len, p.data.size());
        ASSERT_LE(p.payload_offset.value_or(0), p.incl_len);
        ASSERT_EQ(p.src_mac.has_value(), p.dst_mac.has_value());
        ASSERT_TRUE(p.data.empty() || (p.data.data() >= input.data() && p.data.data() + p.data.size() <= input.data() + input.size()));
    }
    const std::string text = c.error_text();
    EXPECT_TRUE(text.empty() || text.rfind("Invalid PCAP format: ", 0) == 0 || text.rfind("Invalid PCAP-NG format: ", 0) == 0 ||
                text == "Unsupported file format (unknown magic number)") << text;
}

Capture load(const std::string& name) {
    auto input = map_input((kCaptures / name).string());
    if (!input) {
        ADD_FAILURE() << name << ": " << input.error().message;
        return {};
    }
    Capture c = read_capture(input.value());
    check(c, input.value());
    return c;
}

struct Expected { const char* file; uint32_t link_type; size_t packets; const char* error = ""; };

// Packets as this reader delivers them: whole files give every record, and
// be_test202 ends where its second section changes the byte order.
const Expected kCorpus[] = {
    {"aircrack-ng_capture_wds-01.cap", 105, 139}, {"dpkt_truncated_dns_2.pcap", 1, 1},
    {"aircrack-ng_pmkid-not-recognized.cap", 105, 20056,
     "Invalid PCAP format: packet incl_len 411 exceeds remaining data at offset 1432632"},
    {"libpcap_ipv6_ah_modes.pcap", 1, 2}, {"libpcap_ipv6_ext_headers.pcap", 1, 1},
    {"libpcap_linktype-reserved-field-not-zero.pcap", 0x300000, 0}, {"libpcap_pcapng-block-len-not-mult4.pcapng", 0, 0},
    {"libpcap_pcapng-idb-tsresol-dec-high.pcapng", 1, 0}, {"libpcap_pcapng-packet-before-idb.pcapng", 1, 1},
    {"libpcap_pcapng-truncated-shb.pcapng", 1, 0}, {"libpcap_pcapng-tsresol-bin-overflow.pcapng", 1, 1},
    {"pcapng-test-generator_be_test010.pcapng", 1, 4}, {"pcapng-test-generator_be_test202.pcapng", 1, 3},
    {"pcapng-test-generator_le_test008.pcapng", 1, 4}, {"pcapng-test-generator_le_test102.pcapng", 1, 5},
    {"pcapng-test-generator_le_test201.pcapng", 1, 4}, {"pcapplusplus_GrePackets.cap", 1, 28},
    {"pcapplusplus_QinQ_802.1_AD.pcapng", 1, 1}, {"pcapplusplus_four_ipv6_http_streams.pcap", 12, 81},
    {"pcapplusplus_ip4_fragments.pcap", 1, 53}, {"pcapplusplus_ipv6_options.pcap", 1, 6},
    {"pcapplusplus_linktype_ipv4.pcap", 228, 2}, {"pcapplusplus_linktype_ipv6.pcap", 229, 1},
    {"pcapplusplus_many-protocols.pcap", 1, 4709}, {"pcapplusplus_many_interfaces-1.pcapng", 1, 64},
    {"pcapplusplus_nanosecs_big_endian.pcap", 1, 10}, {"pcapplusplus_null_loopback.pcap", 0, 3},
    {"pcapplusplus_pcapng-example.pcapng", 1, 159}, {"pcapplusplus_raw_ip.pcap", 101, 100},
    {"pcapplusplus_sll.pcap", 113, 518}, {"tcpdump_02-sunrise-sunset-esp.pcap", 1, 8},
    {"tcpdump_ieee802.11_exthdr.pcap", 127, 26}, {"tcpdump_isup.pcap", 1, 6},
    {"tcpdump_tcp-handshake-nano.pcap", 113, 3}, {"tcpdump_tcp_header_heapoverflow.pcap", 0x30000001, 1},
    {"zeek_get-to-ssh-server.pcap", 1, 9}, {"zeek_ip6-ext-trunc.pcap", 1, 1}, {"zeek_ip6_esp.pcap", 1, 121},
    {"zeek_ipv6-http-atomic-frag.pcap", 1, 38}, {"zeek_pcapng-multi-interface.pcapng", 1, 6},
    {"zeek_radiotap.pcap", 127, 3}, {"zeek_vlan-pcp-dei.pcapng", 1, 9}, {"zeek_wlanmon.pcap", 105, 3},
};

class Corpus : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::is_directory(kCaptures)) GTEST_SKIP() << "no capture corpus at " << kCaptures;
    }
};

TEST_F(Corpus, EveryFileReadsToItsEndOrItsError) {
    std::set<std::string> listed;
    for (const Expected& e : kCorpus) {
        Capture c = load(e.file);
        EXPECT_EQ(std::tuple(c.link_type, c.packets.size(), c.error_text()), std::tuple(e.link_type, e.packets, e.error)) << e.file;
        listed.insert(e.file);
    }
    for (const auto& entry : fs::directory_iterator(kCaptures)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".pcap" || ext == ".pcapng" || ext == ".cap") {
            EXPECT_TRUE(listed.count(entry.path().filename().string())) << entry.path() << " has no expectation";
        }
    }
}

TEST_F(Corpus, TimestampsAndLengths) {
    struct Fact { const char* file; size_t index; uint32_t sec, nsec, incl, orig; };
    for (const Fact& f : std::initializer_list<Fact>{
             {"libpcap_pcapng-tsresol-bin-overflow.pcapng", 0, 0, 999999999, 1, 1},  // 2^-63 s, rounded down
             {"libpcap_pcapng-packet-before-idb.pcapng", 0, 0, 0, 4, 4},
             {"zeek_get-to-ssh-server.pcap", 0, 1770126425, 732560000, 74, 74},    // nanoseconds, little-endian
             {"pcapplusplus_nanosecs_big_endian.pcap", 0, 1766361926, 167647291, 74, 74},
             {"tcpdump_isup.pcap", 0, 1089032999, 862196000, 146, 146},            // big-endian
             {"zeek_pcapng-multi-interface.pcapng", 0, 1767663089, 500330493, 96, 96},  // if_tsresol 9
             {"zeek_pcapng-multi-interface.pcapng", 2, 1767663437, 111897000, 70, 70},  // if_tsresol 6
             {"pcapng-test-generator_le_test008.pcapng", 0, 1340954, 905298858, 96, 314},
             {"pcapng-test-generator_le_test008.pcapng", 1, 1340954905, 299858000, 128, 342},  // late IDB: 10^6
             {"pcapng-test-generator_be_test010.pcapng", 0, 0, 0, 316, 314}}) {    // SPB keeps its padding
        Capture c = load(f.file);
        ASSERT_GT(c.packets.size(), f.index) << f.file;
        const ParsedPacket& p = c.packets[f.index];
        EXPECT_EQ(std::tuple(p.ts_sec, p.ts_usec, p.ts_nsec(), p.incl_len, p.orig_len),
                  std::tuple(f.sec, f.nsec / 1000, f.nsec, f.incl, f.orig))
            << f.file << " #" << f.index;
    }
}

TEST_F(Corpus, DecodedHeaders) {
    struct Fact { const char* file; size_t index; int protocol; uint16_t sport, dport; std::optional<uint64_t> payload; };
    for (const Fact& f : std::initializer_list<Fact>{
             {"zeek_get-to-ssh-server.pcap", 0, 6, 44338, 22, 74}, {"tcpdump_isup.pcap", 0, 132, 0, 0, 34},
             {"libpcap_ipv6_ext_headers.pcap", 0, 44, 0, 0, 118},  // the walk stops after eight headers
             {"libpcap_ipv6_ah_modes.pcap", 0, 17, 12345, 54321, 82}, {"libpcap_ipv6_ah_modes.pcap", 1, 41, 0, 0, 74},
             {"zeek_ip6_esp.pcap", 0, 58, 0, 0, {}}, {"zeek_ip6_esp.pcap", 1, 50, 0, 0, {}},
             {"tcpdump_02-sunrise-sunset-esp.pcap", 0, 50, 0, 0, 34}, {"zeek_radiotap.pcap", 2, 17, 5353, 5353, 105},
             {"zeek_radiotap.pcap", 0, 17, 61738, 53, 110},  // QoS data: LLC after the QoS Control field
             {"zeek_wlanmon.pcap", 1, 17, 53, 61738, 62}, {"aircrack-ng_capture_wds-01.cap", 0, -1, 0, 0, {}},
             {"zeek_ip6-ext-trunc.pcap", 0, -1, 0, 0, {}}, {"pcapplusplus_QinQ_802.1_AD.pcapng", 0, 253, 0, 0, 42},  // 802.1ad, 802.1Q
             {"tcpdump_tcp_header_heapoverflow.pcap", 0, -1, 0, 0, {}}, {"libpcap_pcapng-packet-before-idb.pcapng", 0, -1, 0, 0, {}}}) {
        Capture c = load(f.file);
        ASSERT_GT(c.packets.size(), f.index) << f.file;
        const ParsedPacket& p = c.packets[f.index];
        SCOPED_TRACE(testing::Message() << f.file << " #" << f.index);
        EXPECT_EQ(p.payload_offset, f.payload);
        ASSERT_EQ(p.ip.has_value(), f.protocol >= 0);
        if (p.ip) {
            EXPECT_EQ(std::tuple(int(p.ip->protocol), p.ip->src_port, p.ip->dst_port), std::tuple(f.protocol, f.sport, f.dport));
        }
    }
}

// Small captures of both formats and several link types.
std::vector<Bytes> samples() {
    const Bytes tcp4 = ether(0x0800, ipv4(6, tcp(1000, 80, Bytes(5, 'x'))));
    const Bytes udp6 = vlan(0x86DD, ipv6(0, cat(ext6(17, 0, 8), udp(53, 5353, Bytes(3, 'y')))));
    const Bytes wlan = radiotap(wifi(2, false, true, snap(0x0800, ipv4(17, udp(1, 2, Bytes(2, 'z'))))));
    return {pcap(1, {{1, 10, tcp4}, {2, 20, udp6}, {3, 30, {}, 60}}), pcap(127, {{1, 1000, wlan}, {2, 2000, wlan}}, true, true),
            PcapNg().shb().idb(1, {{9, {9}}}).idb(127).idb(101, {{9, {3}}}).epb(0, 1000000000, tcp4).block(0xBAD, Bytes(5, 1))
                .epb(1, 2, wlan).epb(2, 3, ipv6(6, tcp(3, 4, {1}))).spb(7, udp6).bytes,
            PcapNg{true}.shb().idb(105).epb(0, 1, wifi(0, true, true, Bytes(4))).shb().idb(1).spb(60, tcp4).epb(1, 5, udp6).bytes};
}

TEST(Robustness, EveryCutEndsCleanly) {
    for (const Bytes& sample : samples()) {
        const Capture whole = read_capture(sample);
        ASSERT_FALSE(whole.error) << whole.error_text();
        const bool classic = sample[0] != 0x0A;
        for (size_t n = 0; n <= sample.size(); ++n) {
            SCOPED_TRACE(testing::Message() << "sample of " << sample.size() << " bytes cut at " << n);
            const SharedBytes input = shared(Bytes(sample.begin(), sample.begin() + n));
            const Capture c = read_capture(input);
            check(c, input);
            if (n < 4 || (classic && n < 24)) continue;
            ASSERT_LE(c.packets.size(), whole.packets.size());
            for (size_t i = 0; i < c.packets.size(); ++i) {
                const ParsedPacket &p = c.packets[i], &q = whole.packets[i];
                EXPECT_EQ(std::tuple(p.ts_sec, p.ts_usec, p.incl_len, p.payload_offset),
                          std::tuple(q.ts_sec, q.ts_usec, q.incl_len, q.payload_offset));
            }
            // A cut record is an error in classic pcap; a cut block ends a pcapng capture quietly.
            EXPECT_TRUE(!c.error || (classic && c.error_text().rfind("Invalid PCAP format: packet incl_len", 0) == 0)) << c.error_text();
        }
    }
}

TEST(Robustness, SingleByteCorruptions) {
    std::mt19937 rng(20240611);
    for (const Bytes& sample : samples()) {
        for (int round = 0; round < 2500 && !HasFailure(); ++round) {
            Bytes file = sample;
            const size_t at = rng() % file.size();
            file[at] ^= uint8_t(1 + rng() % 255);
            SCOPED_TRACE(testing::Message() << "byte " << at << " set to " << int(file[at]) << " in a sample of " << file.size());
            const SharedBytes input = shared(file);
            check(read_capture(input), input);
        }
    }
}

}  // namespace
}  // namespace fstest
