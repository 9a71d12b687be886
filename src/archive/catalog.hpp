// A folder's catalog: each archive's time span, protocols, and a Bloom
// filter of its addresses, ports and server names, so that a query over the
// folder passes over the archives that cannot answer it without opening
// them. The command
// that writes a store's archives keeps it beside them; an entry counts only
// while its archive has the size and modification time it was made with.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "archive/query.hpp"
#include "archive/reader.hpp"
#include "util/result.hpp"

namespace flowsieve::archive {

inline constexpr char kCatalogName[] = ".fsieve-catalog";

struct CatalogEntry {
    static constexpr size_t kFilterWords = 128;  // 8192 bits

    std::string name;  // of the archive in the folder
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    // The earliest and latest times of its flows, in nanoseconds.
    uint64_t first_ns = UINT64_MAX;
    uint64_t last_ns = 0;
    std::array<uint64_t, 4> protocols{};
    std::array<uint64_t, kFilterWords> keys{};
    // The filter holds the keys of its flows' server names too (as the
    // name index has them): entries made before it did cannot rule out an
    // archive by its names.
    bool names = false;

    // Whether the file is still the one the entry was made from.
    bool describes(const struct stat& st) const;
    // False only when no flow of the archive can meet the query.
    bool may_match(const FlowQuery& query) const;
};

// The entry of an archive from its flow table; `st` is the file's.
CatalogEntry catalog_entry(const ArchiveReader& reader, std::string name, const struct stat& st);

class Catalog {
public:
    // The folder's catalog; empty when it has none or it cannot be read.
    // A damaged end is ignored; the last entry for a name counts.
    static Catalog read(int dir_fd);

    const CatalogEntry* find(const std::string& name) const;
    void add(CatalogEntry entry);
    void remove(const std::string& name) { entries_.erase(name); }
    size_t size() const { return entries_.size(); }

    // Adds one entry at the end of the folder's catalog file.
    static Status<> append(int dir_fd, const CatalogEntry& entry);
    // Writes the whole catalog afresh, under a temporary name renamed over it.
    Status<> write(int dir_fd) const;

private:
    std::unordered_map<std::string, CatalogEntry> entries_;
};

}  // namespace flowsieve::archive
