// Capture bytes split twice with the same strategy and output type (the
// first byte chooses them): once with two open files and 7-byte buffers, so
// that files are closed, reopened and flushed all the time, once without
// limits. Both succeed or both fail, and on success they write the same
// files with the same bytes.
#include <string>

#include "common.hpp"
#include "split/driver.hpp"

using namespace flowsieve;
using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const char* strategy = fuzzing::kStrategies[data[0] % std::size(fuzzing::kStrategies)];
    const char* output_type = data[0] & 0x80 ? "l7" : "pcap";
    const auto& dir = fuzzing::fresh_scratch();
    const std::string input = dir / "in.pcap";
    fuzzing::write_file(input, data + 1, size - 1);

    auto split = [&](const std::string& out, uint32_t max_sessions, size_t buffer_bytes) {
        SplitOptions o;
        o.input_path = input;
        o.output_dir = out;
        o.strategy = fuzzing::choice(strategy);
        o.output_type = fuzzing::choice(output_type);
        o.max_sessions = max_sessions;
        o.buffer_bytes = buffer_bytes;
        return split_capture(o);
    };
    const auto limited = split(dir / "limited", 2, 7);
    const auto unlimited = split(dir / "unlimited", 10000, 10000);
    check(limited.ok() == unlimited.ok());
    if (limited.ok()) check(fuzzing::read_dir(dir / "limited") == fuzzing::read_dir(dir / "unlimited"));
    else check(limited.error().message == unlimited.error().message);
    return 0;
}
