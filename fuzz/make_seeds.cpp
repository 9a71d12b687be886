// Writes seed corpora for the fuzz targets from a folder of captures:
//
//   make_seeds CAPTURE_DIR OUT_DIR
//
// OUT_DIR/fuzz_capture gets each capture cut to 64 KiB; fuzz_roundtrip and
// fuzz_writers get it behind each first byte that chooses their options;
// fuzz_archive gets the archives that the builder makes of it under every
// strategy, where they fit in 64 KiB.
#include <cstdio>
#include <filesystem>
#include <string>

#include "archive/writer.hpp"
#include "common.hpp"

namespace fs = std::filesystem;

constexpr size_t kMaxLen = 65536;

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
