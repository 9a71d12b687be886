// An opened archive: the file mapped read-only, the flow table copied out at
// open, the index and the packets read from the mapping on demand. A reader
// never changes after open and is shared by an atomic count; the mapping is
// released with its last holder (a reader or its packets_only copy).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/format.hpp"
#include "parser/frame_file.hpp"
#include "util/mapping.hpp"
#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::archive {

struct ArchiveIndex {
    ByteView bytes;  // the whole index inside the mapping, header included
    IndexHeader header;
};

class ArchiveReader {
public:
    const std::vector<FlowRecord>& records() const { return records_; }
    const std::optional<ArchiveIndex>& index() const { return index_; }
    ByteView mapping() const { return ByteView(mapping_->data(), mapping_->size()); }
    uint32_t link_type() const { return header_.link_type; }
    const ArchiveHeader& header() const { return header_; }
    // How its frames are written out: as the capture it was built from.
    const FrameFileFormat& frame_format() const { return frame_format_; }

    // The record with this id, or nullptr.
    const FlowRecord* find_id(uint64_t id) const;

    // The same file without its flow table and index (no flows to list or
    // find), for flows whose records were copied out: it reads their
    // packets while holding the mapping, not the table's memory.
    std::shared_ptr<const ArchiveReader> packets_only() const;

private:
    friend Result<std::shared_ptr<const ArchiveReader>> open_archive(UniqueFd fd);

    std::vector<FlowRecord> records_;
    std::optional<ArchiveIndex> index_;
    std::shared_ptr<const Mapping> mapping_;
    ArchiveHeader header_;
    FrameFileFormat frame_format_;
    // Ids run 1..n in table order in every archive the builder writes; any
    // other table is searched through its positions sorted by id (4 bytes a
    // flow, where a hash map would cost more than the table itself).
    bool ids_in_order_ = true;
    std::vector<uint32_t> by_id_;
};

Result<std::shared_ptr<const ArchiveReader>> open_archive(const std::string& path);
// The archive open for reading at fd (its offset does not matter).
Result<std::shared_ptr<const ArchiveReader>> open_archive(UniqueFd fd);

// The positions of a flow's packet records, one at a time: the first as
// stored, each further one the previous plus a varint. Ends after
// `packet_count` positions, or early where the list ends inside a varint
// or one exceeds 64 bits.
class OffsetCursor {
public:
    // Error: "Offset list extends beyond file".
    static Result<OffsetCursor> of(const ArchiveReader& reader, const FlowRecord& record);
    std::optional<uint64_t> next();

private:
    ByteView list_;
    size_t cursor_ = 0;  // 0 before the first position
    uint64_t position_ = 0;
    uint32_t left_ = 0;
};

// A packet record inside the mapping; valid while the reader lives.
struct PacketRecord {
    uint32_t ts_sec;
    uint32_t ts_usec;  // whole microseconds
    uint32_t ts_nsec;  // nanoseconds within the second, as stored in an archive in nanoseconds
    uint32_t incl_len;
    uint32_t orig_len;
    uint32_t link_type;
    const uint8_t* data;  // incl_len frame bytes, after the 16-byte record header
    bool nanoseconds;     // the record header's time is in nanoseconds

    // The pcap record as stored, in the archive's precision.
    const uint8_t* record_start() const { return data - kRecordHeaderSize; }
    size_t record_size() const { return kRecordHeaderSize + incl_len; }
    FrameTime time() const { return {ts_sec, ts_usec, uint16_t(ts_nsec - ts_usec * 1000)}; }
    uint64_t micros() const { return uint64_t(ts_sec) * 1000000 + ts_usec; }
    // Orders records of archives of either precision as their times do.
    uint64_t nanos() const {
        return nanoseconds ? uint64_t(ts_sec) * 1000000000 + ts_nsec : micros() * 1000;
    }
};

// A flow's packets one at a time, in offset-list order, holding only its
// place in the list. Records that lie outside the file, or start before
// the end of the last record returned (records of a flow never overlap),
// are skipped.
class PacketCursor {
public:
    // Error: "Offset list extends beyond file".
    static Result<PacketCursor> of(const ArchiveReader& reader, const FlowRecord& record);
    std::optional<PacketRecord> next();

private:
    PacketCursor(ByteView file, OffsetCursor offsets, const ArchiveHeader& header)
        : file_(file),
          offsets_(offsets),
          link_type_(header.link_type),
          nanoseconds_(header.nanoseconds()),
          link_type_per_packet_(header.link_type_per_packet()) {}

    ByteView file_;
    OffsetCursor offsets_;
    uint64_t returned_end_ = 0;  // end of the last record returned
    uint32_t link_type_;         // of every record, unless each has its own
    bool nanoseconds_;
    bool link_type_per_packet_;
};

// All of the cursor's packets.
Result<std::vector<PacketRecord>> read_packets(const ArchiveReader& reader, const FlowRecord& record);

}  // namespace flowsieve::archive
