// The split operation: a producer thread reads and decodes the capture, the
// calling thread filters, keys and writes one file per flow.
#pragma once

#include <string>
#include <vector>

#include "util/result.hpp"

namespace flowsieve {

// A failure of split, named after the Python exception it becomes. A Panic
// is a broken invariant, not an ordinary error.
struct SplitError {
    enum class Kind { ValueError, IOError, RuntimeError, Panic };
    Kind kind;
    std::string message;
};

// A choice named by text: as the caller gave it and after full Unicode
// lower-casing (done by the caller, which has the interpreter's tables).
struct ChoiceText {
    std::string given;
    std::string lowered;
};

struct SplitOptions {
    std::string input_path;
    std::string output_dir;
    ChoiceText strategy{"session", "session"};
    uint32_t max_sessions = 10000;
    size_t buffer_bytes = 10000;
    std::vector<std::string> ip_filters;
    std::vector<uint16_t> port_filters;
    ChoiceText output_type{"pcap", "pcap"};
};

Status<SplitError> split_capture(const SplitOptions& options);

// The prefix of every output file name: the input's last path component
// without its extension, or "unknown".
std::string file_stem(const std::string& input_path);

}  // namespace flowsieve
