// Capture bytes into an archive and through split with the same strategy
// (the first byte chooses it): both succeed or both fail, and when they
// succeed every flow of the reopened archive, as a pcap file, is exactly one
// of the files that split wrote, and every file is one flow. Archives keep
// 32-bit seconds and one time unit, so a capture with a time past them, or
// with interfaces in microseconds beside ones in nanoseconds (which split
// files keep apart), is only built.
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "archive/mod.hpp"
#include "archive/reader.hpp"
#include "archive/writer.hpp"
#include "common.hpp"
#include "parser/capture.hpp"
#include "split/driver.hpp"

using namespace flowsieve;
using fuzzing::check;

namespace {

// Whether the capture has a time past 32-bit seconds, or interfaces in
// microseconds beside ones in nanoseconds.
bool beyond_archive_times(const uint8_t* data, size_t size) {
    std::shared_ptr<uint8_t[]> copy(new uint8_t[size]);
    if (size) std::memcpy(copy.get(), data, size);
    auto reader = open_capture(SharedBytes(copy, copy.get(), size));
    if (!reader) return false;
    for (;;) {
        NextPacket next = reader.value()->next_packet();
        const auto* p = std::get_if<ParsedPacket>(&next);
        if (!p) break;
        if (p->ts_sec_high) return true;
    }
    return !reader.value()->frame_format().microsecond_link_types.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char* strategy = fuzzing::kStrategies[data[0] % std::size(fuzzing::kStrategies)];
    const auto& dir = fuzzing::fresh_scratch();
    const std::string input = dir / "in.pcap", archive_path = dir / "out.fsieve", split_dir = dir / "split";
    fuzzing::write_file(input, data + 1, size - 1);

    archive::BuildOptions build;
    build.input_path = input;
    build.output_path = archive_path;
    build.strategy = fuzzing::choice(strategy);
    const auto built = archive::build_archive(build);

    SplitOptions split;
    split.input_path = input;
    split.output_dir = split_dir;
    split.strategy = fuzzing::choice(strategy);
    const auto done = split_capture(split);
    check(built.ok() == done.ok());
    if (!built.ok()) {
        check(built.error().message == done.error().message);
        return 0;
    }
    if (beyond_archive_times(data + 1, size - 1)) return 0;

    auto reader = archive::open_archive(archive_path);
    check(reader.ok());
    std::multiset<std::string> flows;
    archive::ExportBudget budget(*reader.value());
    for (const archive::FlowRecord& r : reader.value()->records()) {
        auto pcap = archive::FlowPcap::of(*reader.value(), r, budget);
        check(pcap.ok());
        std::string bytes(pcap.value().size(), '\0');
        pcap.value().write(reinterpret_cast<uint8_t*>(bytes.data()));
        flows.insert(std::move(bytes));
    }
    std::multiset<std::string> files;
    for (auto& [name, bytes] : fuzzing::read_dir(split_dir)) files.insert(std::move(bytes));
    check(flows == files);
    return 0;
}
