#include "archive/store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "archive/catalog.hpp"
#include "util/os_error.hpp"
#include "util/unique_fd.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve::archive {
namespace {

bool ends_with(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The *.fsieve files of a folder, by name.
Result<std::vector<std::string>, CallError> folder_archives(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return CallError::io(os_error(errno), folder);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] != '.' && ends_with(name, ".fsieve")) names.push_back(name);
    }
    ::closedir(d);
    if (names.empty()) return CallError::not_found("no archives in " + folder);
    std::sort(names.begin(), names.end());
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    for (std::string& name : names) name = prefix + name;
    return names;
}

}  // namespace

bool is_folder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Result<std::vector<StoreArchive>, CallError> store_archives(const std::vector<std::string>& paths) {
    std::vector<StoreArchive> archives;
    for (const std::string& path : paths) {
        if (!is_folder(path)) {
            archives.push_back({path, false});
            continue;
        }
        auto members = folder_archives(path);
        if (!members) return std::move(members).error();
        for (std::string& member : *members) archives.push_back({std::move(member), true});
    }
    return archives;
}

Result<Reader, CallError> open_named(const std::string& path) {
    auto reader = open_archive(path);
    if (!reader) return CallError::io(std::move(reader).error(), path);
    return std::move(reader).value();
}

namespace {

// The catalog of the folder of the archives asked, read once per folder.
class FolderCatalog {
public:
    // Whether the catalog shows that the archive cannot meet the query.
    bool rules_out(const std::string& path, const FlowQuery& query) {
        const size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) return false;
        const std::string folder = path.substr(0, slash + 1);
        if (folder != folder_) {
            folder_ = folder;
            dir_.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            catalog_ = dir_.valid() ? Catalog::read(dir_.get()) : Catalog();
        }
        const std::string name = path.substr(slash + 1);
        const CatalogEntry* entry = catalog_.find(name);
        struct stat st;
        return entry && ::fstatat(dir_.get(), name.c_str(), &st, 0) == 0 && entry->describes(st) &&
               !entry->may_match(query);
    }

private:
    std::string folder_;
    UniqueFd dir_;
    Catalog catalog_;
};

}  // namespace

Result<Answers, CallError> ask_archives(const std::vector<StoreArchive>& archives, const Choose& choose,
                                        const Skip& skip, const Open& open, const FlowQuery* query) {
    Answers answers;
    size_t read = 0, skipped = 0;
    FolderCatalog catalog;
    for (const StoreArchive& a : archives) {
        if (query && !query->empty() && a.in_folder && answers.first_format && catalog.rules_out(a.path, *query)) {
            ++read;
            continue;
        }
        Reader reader;
        if (!a.in_folder) {
            auto opened = open(a.path);
            if (!opened) return std::move(opened).error();
            reader = std::move(opened).value();
        } else if (auto opened = open_archive(a.path)) {
            reader = std::move(opened).value();
        } else {
            skip(a.path, opened.error().message);
            ++skipped;
            continue;
        }
        auto flows = choose(*reader, a.path);
        if (!flows && !a.in_folder) return std::move(flows).error();
        if (!flows) {
            // Damage that shows only once flows are chosen.
            skip(a.path, flows.error().message);
            ++skipped;
            continue;
        }
        ++read;
        if (!answers.first_format) answers.first_format = reader->frame_format();
        if (flows->empty()) continue;
        Answer& answer = answers.archives.emplace_back(Answer{a.path, reader->packets_only(*flows), {}});
        answer.records.reserve(flows->size());
        for (const FlowRecord* r : *flows) answer.records.push_back(*r);
    }
    if (read == 0 && skipped > 0) return CallError::runtime("no archive could be read");
    return answers;
}

FlowList Answer::flows() const {
    FlowList flows;
    flows.reserve(records.size());
    for (const FlowRecord& r : records) flows.push_back(&r);
    return flows;
}

Status<CallError> find_packets(const ArchiveReader& reader, const FlowList& flows, const std::string& path) {
    for (const FlowRecord* r : flows)
        if (auto offsets = OffsetCursor::of(reader, *r); !offsets)
            return CallError::runtime(offsets.error().message).about(path);
    if (!reader.header().link_type_per_packet()) return {};
    for (const FlowRecord* r : flows) {
        PacketCursor cursor = PacketCursor::of(reader, *r).value();  // its offset list was found above
        while (cursor.next()) {
        }
        if (const auto& link_type = cursor.unlisted())
            return CallError::runtime("Damaged archive: a packet record of link type " + std::to_string(*link_type) +
                                      ", which the archive does not list")
                .about(path);
    }
    return {};
}

Result<PacketMerge, CallError> merge_answers(const Answers& answers, std::optional<uint32_t> only) {
    std::vector<Selection> selections;
    for (const Answer& a : answers.archives) selections.push_back({a.path, a.reader, a.flows()});
    // With no archive at all, the merge is an empty Ethernet capture.
    auto merged = PacketMerge::of(selections, answers.first_format.value_or(FrameFileFormat{}), only);
    if (!merged) return CallError::runtime(merged.error().message);
    return std::move(merged).value();
}

Status<CallError> write_merge(int fd, PacketMerge& merge, ProgressObserver* observer) {
    WriteBuffer buffer(1 << 20);
    auto status = stream_merge(merge, observer, [&](const uint8_t* data, size_t size, bool mapped) -> Status<CallError> {
        // Frames stay mapped until the buffer is written out: lent, not copied.
        auto st = mapped ? buffer.write(fd, data, size) : buffer.write_copy(fd, data, size);
        if (!st) return CallError::io(std::move(st).error(), "");
        return {};
    });
    if (!status) return status;
    if (auto st = buffer.flush(fd); !st) return CallError::io(std::move(st).error(), "");
    return {};
}

}  // namespace flowsieve::archive
