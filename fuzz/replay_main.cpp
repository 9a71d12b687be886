// Runs a fuzz target's entry point once on each file named on the command
// line (directories are walked), for builds without libFuzzer: the tests
// replay the saved crash inputs and the public captures this way.
//
//   replay_<target> [--prefixed] PATH...
//
// --prefixed runs each file once after each of the first bytes 0-6 and
// 0x80-0x86, for the targets that take their options from the first byte.
// A missing PATH is reported as SKIPPED and otherwise ignored.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    bool prefixed = false;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--prefixed") {
            prefixed = true;
        } else if (fs::is_directory(arg)) {
            for (const auto& e : fs::recursive_directory_iterator(arg))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::exists(arg)) {
            files.push_back(arg);
        } else {
            std::printf("SKIPPED: %s is absent\n", arg.c_str());
        }
    }
    std::sort(files.begin(), files.end());
    size_t runs = 0;
    for (const fs::path& file : files) {
        std::printf("%s\n", file.c_str());
        std::fflush(stdout);
        const std::string bytes = fuzzing::read_file(file);
        std::vector<std::vector<uint8_t>> inputs;
        if (!prefixed) inputs.emplace_back(bytes.begin(), bytes.end());
        for (int first = 0; prefixed && first < 0x87; first += first == 6 ? 0x80 - 6 : 1) {
            inputs.push_back({uint8_t(first)});
            inputs.back().insert(inputs.back().end(), bytes.begin(), bytes.end());
        }
        for (const auto& input : inputs) {
            // An exact-size copy, as libFuzzer gives, so that overreads are caught.
            std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size()]);
            std::copy(input.begin(), input.end(), copy.get());
            LLVMFuzzerTestOneInput(copy.get(), input.size());
            ++runs;
        }
    }
    std::printf("replayed %zu files in %zu runs\n", files.size(), runs);
    return 0;
}
