// The split operation: a reading thread decodes the capture, filters, keys
// and numbers each packet's flows; the calling thread writes one file per
// flow.
#pragma once

#include <string>
#include <vector>

#include "flow/connection.hpp"
#include "flow/filter.hpp"
#include "flow/reassembly.hpp"
#include "flow/source.hpp"
#include "split/writer.hpp"
#include "util/call.hpp"
#include "util/progress.hpp"
#include "util/result.hpp"

namespace flowsieve {

using SplitError = CallError;

struct SplitOptions {
    std::string input_path;
    std::string output_dir;
    ChoiceText strategy{"session", "session"};
    uint32_t max_sessions = 10000;
    size_t buffer_bytes = 10000;
    std::vector<std::string> ip_filters;
    std::vector<uint16_t> port_filters;
    ChoiceText output_type{"pcap", "pcap"};
    ProgressObserver* observer = nullptr;
    FrameFilter* frame_filter = nullptr;  // besides the address and port filters
    // When given, filled in; a last record cut off then ends the capture
    // instead of failing the call.
    ReadingNotes* notes = nullptr;
    std::string stem{};  // of the output names; empty: file_stem(input_path)
    // When set, a failed split removes the temporary files it made and
    // stores here how many; otherwise they stay.
    uint64_t* removed_temporaries = nullptr;
    // When given, output type stream stores here the connections that lost
    // bytes and how many.
    StreamGaps* gaps = nullptr;
    // When given, the link types of the capture's frames when the files
    // are pcapng for holding several (left empty otherwise).
    std::vector<uint32_t>* pcapng_link_types = nullptr;
    ChoiceText tunnels{"outer", "outer"};
    // When given, output type stream stores here where each file lacks bytes.
    std::vector<StreamHole>* holes = nullptr;
    bool fill_gaps = false;  // output type stream: bytes never captured written as zeros
    bool dedup = false;  // packets captured twice dropped (see DuplicateWindow)
    IdleTimeouts idle{};  // for the connection strategy
};

Status<SplitError> split_capture(const SplitOptions& options);

// The prefix of every output file name: the input's last path component
// without its extension, or "unknown".
std::string file_stem(const std::string& input_path);

}  // namespace flowsieve
