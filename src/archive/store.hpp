// Several archives as one store: archives and folders of archives asked
// one after another, and the merged packets of their chosen flows written
// as one capture file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/query.hpp"
#include "util/call.hpp"
#include "util/progress.hpp"

namespace flowsieve::archive {

using Reader = std::shared_ptr<const ArchiveReader>;

// One archive of a store: named itself, or one of a folder's.
struct StoreArchive {
    std::string path;
    bool in_folder = false;
};

bool is_folder(const std::string& path);
std::string base_name(const std::string& path);

// The archives of the paths in order: a folder stands for every *.fsieve
// file in it (hidden ones left out), by name; anything else is an archive.
// Errors: a folder that cannot be listed; one without archives
// (NotFound, "no archives in DIR").
Result<std::vector<StoreArchive>, CallError> store_archives(const std::vector<std::string>& paths);

// The flows chosen from one archive, copied out of its flow table: the
// reader holds the file alone (ArchiveReader::packets_only), so that the
// table goes as soon as the archive has answered.
struct Answer {
    std::string path;
    Reader reader;
    std::vector<FlowRecord> records;

    FlowList flows() const;
};

struct Answers {
    std::vector<Answer> archives;             // those with chosen flows, in order
    std::optional<FrameFileFormat> first_format;  // of the first archive opened
};

using Choose = std::function<Result<FlowList, CallError>(const ArchiveReader& reader, const std::string& path)>;
// Told of each archive of a folder that could not be read, with the reason.
using Skip = std::function<void(const std::string& path, const std::string& message)>;
// Opens an archive named itself.
using Open = std::function<Result<Reader, CallError>(const std::string& path)>;

// open_archive, its failure an IOError about the path.
Result<Reader, CallError> open_named(const std::string& path);

// Opens the archives one after another and keeps the flows `choose` takes
// from each, one Answer for each call that returned flows, in order; every
// archive's flow table is released once it has answered, so that memory
// holds one table at a time and the chosen flows. An archive named itself
// must open (by `open`) and be chosen from: its error ends the walk. One of
// a folder that does not open, or that `choose` fails for, is passed to
// `skip`. Error: every archive was skipped ("no archive could be read").
// Given the query that `choose` asks, an archive of a folder whose entry
// in the folder's catalog shows that no flow can meet it is passed over
// unopened, once an archive has been opened (whose frame format an empty
// merge takes).
Result<Answers, CallError> ask_archives(const std::vector<StoreArchive>& archives, const Choose& choose,
                                        const Skip& skip, const Open& open = open_named,
                                        const FlowQuery* query = nullptr);

// Whether every flow's packets can be found: its offset list lies inside
// the file, and no packet record is of a link type the archive does not
// list (left out of every output, such a record must not go unsaid). The
// error is about `path`.
Status<CallError> find_packets(const ArchiveReader& reader, const FlowList& flows, const std::string& path);

// The packets of the answers merged by time (PacketMerge), in the format
// of the first archive opened when nothing was chosen; with `only`, those
// of that link type alone. The merge reads the answers' records: it must
// not outlive them.
Result<PacketMerge, CallError> merge_answers(const Answers& answers, std::optional<uint32_t> only = std::nullopt);

// The merged packets as one capture file (PacketMerge::format), piece by
// piece: put(data, size, mapped) gets the file header, then each packet
// record as put_record hands it over (mapped pieces stay valid while the
// answers' readers live, the others only during the call), and returns a
// Status<CallError>; the first failure ends the stream. The observer, when
// given, is asked every few thousand packets whether to go on; stopping is
// an Interrupted error.
template <class Put>
Status<CallError> stream_merge(PacketMerge& merge, ProgressObserver* observer, Put&& put) {
    const std::vector<uint8_t> header = merge.format().file_header();
    Status<CallError> status = put(header.data(), header.size(), false);
    auto piece = [&](const uint8_t* data, size_t size, bool mapped) { return (status = put(data, size, mapped)).ok(); };
    Progress progress;
    for (auto p = merge.next(); p && status; p = merge.next()) {
        if (++progress.packets % 4096 == 0 && observer && !observer->keep_going(progress))
            return CallError::interrupted();
        put_record(merge.format(), *p, piece);
    }
    return status;
}

// The merged capture streamed to fd through one buffer.
Status<CallError> write_merge(int fd, PacketMerge& merge, ProgressObserver* observer);

}  // namespace flowsieve::archive
