// The archive builder: one sequential pass over a capture that appends each
// packet once per flow key, then writes the offset lists, flow table, index
// and footer, under a temporary name renamed into place at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flow/filter.hpp"
#include "flow/source.hpp"
#include "util/call.hpp"
#include "util/progress.hpp"
#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::archive {

struct BuildOptions {
    std::string input_path;
    std::string output_path;
    ChoiceText strategy{"session", "session"};
    uint32_t max_sessions = 10000;  // accepted for symmetry with split; flows are not limited
    std::vector<std::string> ip_filters;
    std::vector<uint16_t> port_filters;
    ProgressObserver* observer = nullptr;
    FrameFilter* frame_filter = nullptr;  // besides the address and port filters
    // When given, filled in; a last record cut off then ends the capture
    // instead of failing the call.
    ReadingNotes* notes = nullptr;
    // When set, a failed build removes its temporary file and stores here
    // how many files it removed (0 or 1); otherwise the file stays.
    uint64_t* removed_temporaries = nullptr;
    bool dedup = false;  // packets captured twice dropped (see DuplicateWindow)
};

Status<CallError> build_archive(const BuildOptions& options);

// Builds as build_archive does, but the archive is readable by its owner
// only and no file of it is left behind on failure. Returns the archive's
// descriptor, open for reading, so that it is read without opening its name
// again; the name is the caller's to remove.
Result<UniqueFd, CallError> build_private_archive(const BuildOptions& options);

}  // namespace flowsieve::archive
