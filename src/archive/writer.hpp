// The archive builder: one sequential pass over a capture that appends each
// packet once per flow key, then writes the offset lists, flow table, index
// and footer, under a temporary name renamed into place at the end (built
// in an unnamed file and copied, for standard output, a device or a FIFO).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flow/connection.hpp"
#include "flow/filter.hpp"
#include "flow/source.hpp"
#include "parser/frame_file.hpp"
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
    ChoiceText tunnels{"outer", "outer"};
    bool dedup = false;  // packets captured twice dropped (see DuplicateWindow)
    IdleTimeouts idle{};  // for the connection strategy
};

Status<CallError> build_archive(const BuildOptions& options);

// Builds as build_archive does, but the archive is readable by its owner
// only and no file of it is left behind on failure. Returns the archive's
// descriptor, open for reading, so that it is read without opening its name
// again; the name is the caller's to remove.
Result<UniqueFd, CallError> build_private_archive(const BuildOptions& options);

// An archive fed packet by packet, for a caller that cuts a stream of
// packets into archives as they come. Frames are lent to the write buffer:
// each packet's frame stays valid until the next flush or finish, or the
// builder's end. The caller numbers the flows and owns the file's name.
class ArchiveBuilder {
public:
    // Writes the header into `fd`, a new empty file, for frames written out
    // as `format` describes; the path names the file in messages.
    static Result<ArchiveBuilder, CallError> start(UniqueFd fd, const FrameFileFormat& format, std::string path);
    ArchiveBuilder(ArchiveBuilder&&) noexcept;
    ArchiveBuilder& operator=(ArchiveBuilder&&) noexcept;
    ~ArchiveBuilder();

    // Writes the packet once for each of its `count` flows, numbered 0, 1,
    // 2, ... in order of first sight within this archive. A packet whose
    // tunnels were opened (open_tunnels) makes an archive of inner flows.
    Status<CallError> add(const ParsedPacket& packet, const uint32_t* flows, uint8_t count);
    // Writes out what is buffered, so that the frames added need not stay.
    Status<CallError> flush();
    // Makes room on the disk for `bytes` more bytes than handed to the file
    // so far, by allocating them in the file: what is written there cannot
    // then fail for want of room, whatever else fills the disk. The error's
    // os_errno is ENOSPC without the room, EOPNOTSUPP where the file system
    // allocates no room ahead.
    Status<> reserve(uint64_t bytes);
    // Writes the flow table, index and footer; the descriptor, open for
    // reading and writing and still locked, of a file cut back to them.
    Result<UniqueFd, CallError> finish();

    // Bytes handed to the file so far.
    uint64_t size() const;
    uint64_t flow_count() const;

private:
    struct State;
    explicit ArchiveBuilder(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace flowsieve::archive
