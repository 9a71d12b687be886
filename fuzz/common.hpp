// Helpers shared by the fuzz targets: a private scratch directory per
// process, whole-directory reads, and a check that stops the process so that
// libFuzzer keeps the input.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "util/call.hpp"

namespace fuzzing {

namespace fs = std::filesystem;

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

inline constexpr const char* kStrategies[] = {"session", "flow", "host", "hostpair", "mac", "bssid", "nosplit"};

inline flowsieve::ChoiceText choice(const char* name) { return {name, name}; }

// Emptied at the start of every input, removed at exit. Under /dev/shm when
// there is one, so that the files never touch a disk. libFuzzer leaves
// without running exit handlers when its time is up or an input crashes, so
// the folders of processes that are gone are removed here.
inline const fs::path& scratch() {
    static const fs::path dir = [] {
        const std::string prefix = "flowsieve-fuzz-";
        fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename();
            if (name.rfind(prefix, 0) != 0) continue;
            const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
            if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ec);
        }
        fs::path d = base / (prefix + std::to_string(::getpid()));
        fs::remove_all(d);
        fs::create_directories(d);
        std::atexit([] { std::error_code ec; fs::remove_all(scratch(), ec); });
        return d;
    }();
    return dir;
}

inline const fs::path& fresh_scratch() {
    const fs::path& dir = scratch();
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    return dir;
}

inline void write_file(const fs::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    check(bool(out.flush()));
}

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file of a directory by name; none when it does not exist.
inline std::map<std::string, std::string> read_dir(const fs::path& dir) {
    std::map<std::string, std::string> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) files[entry.path().filename()] = read_file(entry.path());
    return files;
}

}  // namespace fuzzing
