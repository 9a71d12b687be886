// Writes seed corpora for the fuzz targets from a folder of captures:
//
//   make_seeds CAPTURE_DIR OUT_DIR
//
// OUT_DIR/fuzz_capture gets each capture cut to 64 KiB; fuzz_roundtrip and
// fuzz_writers get it behind each first byte that chooses their options;
// fuzz_archive gets the archives that the builder makes of it under every
// strategy, where they fit in 64 KiB. fuzz_capture also gets small captures
// of each link type and Ethernet encapsulation the dissector decodes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "archive/writer.hpp"
#include "common.hpp"

namespace fs = std::filesystem;

constexpr size_t kMaxLen = 65536;

std::string be(uint32_t v, int width) {
    std::string b;
    for (int i = width - 1; i >= 0; --i) b += char(v >> 8 * i);
    return b;
}

// A classic little-endian pcap of the frames.
std::string pcap(uint32_t link, const std::vector<std::string>& frames) {
    auto le = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string f = le(0xA1B2C3D4) + le(0x00040002) + le(0) + le(0) + le(65535) + le(link);
    for (const std::string& frame : frames)
        f += le(1) + le(0) + le(uint32_t(frame.size())) + le(uint32_t(frame.size())) + frame;
    return f;
}

// Captures of an IPv4 TCP and an IPv6 UDP packet under each link type and
// Ethernet encapsulation, by name.
std::vector<std::pair<std::string, std::string>> encapsulation_seeds() {
    const std::string tcp = be(1000, 2) + be(80, 2) + std::string(8, 0) + be(0x5018, 2) + std::string(6, 0) + "data";
    const std::string v4 = be(0x4500, 2) + be(20 + uint32_t(tcp.size()), 2) + std::string(5, 0) + "\x06" +
                           std::string(2, 0) + be(0x0A000001, 4) + be(0x0A000002, 4) + tcp;
    const std::string udp = be(53, 2) + be(5353, 2) + be(12, 2) + be(0, 2) + "dns!";
    const std::string v6 = be(0x60000000, 4) + be(uint32_t(udp.size()), 2) + "\x11\x40" + std::string(15, 0) + "\x01" +
                           std::string(15, 0) + "\x02" + udp;
    const std::string macs("\x02\0\0\0\0\x01\x02\0\0\0\0\x02", 12);
    const std::string addr = macs.substr(0, 8);  // a cooked header's one address
    auto type = [](bool four) { return be(four ? 0x0800 : 0x86DD, 2); };
    auto seed = [&](const char* name, uint32_t link, auto wrap) {
        return std::pair<std::string, std::string>{name, pcap(link, {wrap(v4, true), wrap(v6, false)})};
    };
    using Ip = const std::string&;
    return {
        seed("sll", 113, [&](Ip ip, bool four) { return be(1, 4) + be(6, 2) + addr + type(four) + ip; }),
        seed("sll2", 276, [&](Ip ip, bool four) { return type(four) + std::string(6, 0) + be(0x0001'0006, 4) + addr + ip; }),
        seed("null", 0, [&](Ip ip, bool four) { return (four ? std::string("\x02\0\0\0", 4) : be(30, 4)) + ip; }),
        seed("loop", 108, [&](Ip ip, bool four) { return be(four ? 2 : 24, 4) + ip; }),
        seed("qinq", 1, [&](Ip ip, bool four) { return macs + be(0x88A8'001E, 4) + be(0x8100'0064, 4) + type(four) + ip; }),
        seed("mpls", 1, [&](Ip ip, bool) { return macs + be(0x8847, 2) + be(0x00010040, 4) + be(0x00020140, 4) + ip; }),
        seed("pppoe", 1, [&](Ip ip, bool four) {
            return macs + be(0x8864, 2) + be(0x1100'0001, 4) + be(uint32_t(ip.size()) + 2, 2) + be(four ? 0x21 : 0x57, 2) +
                   ip;
        }),
    };
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CAPTURE_DIR OUT_DIR\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[2];
    for (const char* target : {"fuzz_capture", "fuzz_roundtrip", "fuzz_writers", "fuzz_archive"})
        fs::create_directories(out / target);
    size_t seeds = 0;
    auto put = [&](const fs::path& path, const std::string& bytes) {
        fuzzing::write_file(path, reinterpret_cast<const uint8_t*>(bytes.data()), std::min(bytes.size(), kMaxLen));
        ++seeds;
    };
    for (const auto& [name, bytes] : encapsulation_seeds()) put(out / "fuzz_capture" / (name + ".pcap"), bytes);
    const fs::path work = fuzzing::fresh_scratch();
    for (const auto& entry : fs::directory_iterator(argv[1])) {
        const std::string ext = entry.path().extension();
        if (!entry.is_regular_file() || (ext != ".pcap" && ext != ".pcapng" && ext != ".cap")) continue;
        const std::string name = entry.path().filename();
        const std::string bytes = fuzzing::read_file(entry.path()).substr(0, kMaxLen - 1);
        put(out / "fuzz_capture" / name, bytes);
        for (int first = 0; first < 7; ++first) {
            put(out / "fuzz_roundtrip" / (std::to_string(first) + "-" + name), char(first) + bytes);
            for (int l7 : {0, 0x80})
                put(out / "fuzz_writers" / (std::to_string(first | l7) + "-" + name), char(first | l7) + bytes);
        }
        const fs::path input = work / "in.pcap";
        fuzzing::write_file(input, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        for (const char* strategy : fuzzing::kStrategies) {
            flowsieve::archive::BuildOptions o;
            o.input_path = input;
            o.output_path = work / "out.fsieve";
            o.strategy = fuzzing::choice(strategy);
            if (!flowsieve::archive::build_archive(o) || fs::file_size(o.output_path) > kMaxLen) continue;
            put(out / "fuzz_archive" / (name + "-" + strategy + ".fsieve"), fuzzing::read_file(o.output_path));
        }
    }
    std::printf("%zu seeds in %s\n", seeds, out.c_str());
    return 0;
}
