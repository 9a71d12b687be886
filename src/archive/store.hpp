// Several archives as one store: archives and folders of archives asked
// one after another, and the merged packets of their chosen flows written
// as one pcap.
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

// The flows chosen from one archive.
struct Answer {
    std::string path;
    std::shared_ptr<const ArchiveReader> reader;
    FlowList flows;
};

struct Answers {
    std::vector<Answer> archives;             // those with chosen flows, in order
    std::optional<uint32_t> first_link_type;  // of the first archive opened
};

using Choose = std::function<Result<FlowList, CallError>(const ArchiveReader& reader, const std::string& path)>;
// Told of each archive of a folder that could not be read, with the reason.
using Skip = std::function<void(const std::string& path, const std::string& message)>;

// Opens the archives one after another and keeps those from which `choose`
// takes flows; the others are released at once, so that memory holds the
// archives that answer rather than all of them. An archive named itself
// must open; one of a folder that does not is passed to `skip`. The first
// error of `choose` ends the walk.
Result<Answers, CallError> ask_archives(const std::vector<StoreArchive>& archives, const Choose& choose,
                                        const Skip& skip);

// The packets of the answers merged by time (PacketMerge), with the link
// type of an empty store when nothing was chosen.
Result<PacketMerge, CallError> merge_answers(const Answers& answers);

// The merged packets as one classic pcap file, piece by piece:
// put(data, size, lent) gets the global header (lent false: copy it), then
// each packet record as stored (lent: valid while the answers' readers
// live), and returns a Status<CallError>; the first failure ends the
// stream. The observer, when given, is asked every few thousand packets
// whether to go on; stopping is an Interrupted error.
template <class Put>
Status<CallError> stream_merge(PacketMerge& merge, ProgressObserver* observer, Put&& put) {
    uint8_t header[kPcapGlobalHeaderSize];
    encode_pcap_global_header(header, merge.link_type());
    if (auto st = put(header, sizeof header, false); !st) return st;
    Progress progress;
    for (auto p = merge.next(); p; p = merge.next()) {
        if (++progress.packets % 4096 == 0 && observer && !observer->keep_going(progress))
            return CallError::interrupted();
        if (auto st = put(p->record_start(), p->record_size(), true); !st) return st;
    }
    return {};
}

// The merged pcap streamed to fd through one buffer.
Status<CallError> write_merge(int fd, PacketMerge& merge, ProgressObserver* observer);

}  // namespace flowsieve::archive
