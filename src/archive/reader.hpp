// An opened archive: the file mapped read-only, the flow table copied out at
// open, the index and the packets read from the mapping on demand. A reader
// never changes after open and is shared by an atomic count; the mapping is
// released with its last holder (a reader or its packets_only copy).
#pragma once

#include <algorithm>
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
    // The flows of each server name; nothing in an archive without names,
    // or one written before the index was.
    const std::optional<NameIndex>& name_index() const { return name_index_; }
    ByteView mapping() const { return ByteView(mapping_->data(), mapping_->size()); }
    uint32_t link_type() const { return header_.link_type; }
    const ArchiveHeader& header() const { return header_; }
    // How its frames are written out: as the capture it was built from.
    const FrameFileFormat& frame_format() const { return frame_format_; }

    // The record with this id, or nullptr.
    const FlowRecord* find_id(uint64_t id) const;
    // How its packets were grouped, and are decoded again.
    TunnelMode tunnels() const { return tunnels_; }
    // The flow's fields beyond the flow table, or nothing when it has none;
    // decoded when asked for.
    std::optional<FlowFields> fields(const FlowRecord& record) const;
    // One field's bytes as stored, without decoding the others: what a
    // query compares, for every flow, costs no copy.
    std::optional<ByteView> field(const FlowRecord& record, FlowFieldTag tag) const;
    // The flow's connection facts with its history; nothing in an archive
    // written before they were counted.
    std::optional<ConnSummary> connection(const FlowRecord& record) const;

    // The same file without its flow table and indexes (no flows to list or
    // find), for flows whose records were copied out: it reads their
    // packets while holding the mapping, not the table's memory. The pages
    // of the table and the indexes in the mapping go too (this reader reads
    // them again from the file, should it still be asked). It keeps the
    // flow fields of the flows `kept` alone.
    std::shared_ptr<const ArchiveReader> packets_only(const std::vector<const FlowRecord*>& kept) const;

private:
    friend Result<std::shared_ptr<const ArchiveReader>> open_archive(UniqueFd fd);
    const FlowFieldsEntry* fields_entry(uint64_t id) const;

    std::vector<FlowRecord> records_;
    std::optional<ArchiveIndex> index_;
    std::optional<NameIndex> name_index_;
    std::shared_ptr<const Mapping> mapping_;
    ByteView table_;  // the flow table inside the mapping
    ArchiveHeader header_;
    FrameFileFormat frame_format_;
    TunnelMode tunnels_ = TunnelMode::Outer;
    std::vector<FlowFieldsEntry> fields_;  // by ascending id
    ByteView fields_bytes_;  // the flow fields section inside the mapping
    // Ids run 1..n in table order in every archive the builder writes; any
    // other table is searched through its positions sorted by id (4 bytes a
    // flow, where a hash map would cost more than the table itself).
    bool ids_in_order_ = true;
    std::vector<uint32_t> by_id_;
};

Result<std::shared_ptr<const ArchiveReader>> open_archive(const std::string& path);
// The archive open for reading at fd (its offset does not matter).
Result<std::shared_ptr<const ArchiveReader>> open_archive(UniqueFd fd);

// [offset, offset + length) inside [0, size), without overflow.
inline bool within(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

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
    uint64_t ts_nsec;  // nanoseconds after ts_sec, as stored in an archive in nanoseconds
    uint32_t incl_len;
    uint32_t orig_len;
    uint32_t link_type;
    const uint8_t* data;  // incl_len frame bytes, after the 16-byte record header
    bool nanoseconds;     // the record header's time is in nanoseconds
    TunnelMode tunnels;   // the archive's, in which the frame is decoded

    // The pcap record as stored, in the archive's precision.
    const uint8_t* record_start() const { return data - kRecordHeaderSize; }
    size_t record_size() const { return kRecordHeaderSize + incl_len; }
    FrameTime time() const { return {ts_sec, ts_usec, uint16_t(ts_nsec - uint64_t(ts_usec) * 1000)}; }
    uint64_t micros() const { return uint64_t(ts_sec) * 1000000 + ts_usec; }
    // Orders records of archives of either precision as their times do.
    uint64_t nanos() const {
        return nanoseconds ? uint64_t(ts_sec) * 1000000000 + ts_nsec : micros() * 1000;
    }
};

// A flow's packets one at a time, in offset-list order, holding only its
// place in the list. Records that lie outside the file, or start before
// the end of the last record returned (records of a flow never overlap),
// are skipped; so is a record whose own link type the archive does not
// list (its frame would be written, or decoded, as another link type's),
// which `unlisted` then names.
class PacketCursor {
public:
    // Error: "Offset list extends beyond file".
    static Result<PacketCursor> of(const ArchiveReader& reader, const FlowRecord& record);
    std::optional<PacketRecord> next() {
        while (auto position = offsets_.next())
            if (auto r = record_at(*position)) return r;
        return std::nullopt;
    }
    // The link type of the first record skipped for it, if one was.
    const std::optional<uint32_t>& unlisted() const { return unlisted_; }

private:
    friend class ReadAheadCursor;
    // The record at the flow's next position, unless it is skipped.
    std::optional<PacketRecord> record_at(uint64_t position);
    PacketCursor(ByteView file, OffsetCursor offsets, const ArchiveHeader& header, TunnelMode tunnels)
        : file_(file),
          offsets_(offsets),
          link_types_(&header.link_types),
          link_type_(header.link_type),
          nanoseconds_(header.nanoseconds()),
          link_type_per_packet_(header.link_type_per_packet()),
          tunnels_(tunnels) {}

    ByteView file_;
    OffsetCursor offsets_;
    uint64_t returned_end_ = 0;                // end of the last record returned
    const std::vector<uint32_t>* link_types_;  // the reader's list, when each record has its own
    std::optional<uint32_t> unlisted_;
    uint32_t link_type_;  // of every record, unless each has its own
    bool nanoseconds_;
    bool link_type_per_packet_;
    TunnelMode tunnels_;
};

// A flow's packets as PacketCursor gives them, for walks through many:
// the positions of the next few are read ahead and their records asked of
// memory, so that the cache misses of a flow's scattered records overlap
// rather than follow one another.
class ReadAheadCursor {
public:
    // Error: "Offset list extends beyond file".
    static Result<ReadAheadCursor> of(const ArchiveReader& reader, const FlowRecord& record);
    std::optional<PacketRecord> next();

private:
    static constexpr unsigned kAhead = 8;

    explicit ReadAheadCursor(PacketCursor packets);
    // Reads the next position into the ring, its record asked of memory.
    void read_ahead();

    PacketCursor packets_;  // its offsets unread: the ring is read from them
    uint64_t ahead_[kAhead];
    unsigned first_ = 0;
    unsigned count_ = 0;
};

// Inline: they run for every packet of a walk.

inline std::optional<uint64_t> OffsetCursor::next() {
    if (left_ == 0) return std::nullopt;
    if (cursor_ == 0) {
        position_ = *list_.u64le(0);
        cursor_ = kOffsetListHead;
    } else {
        auto delta = cursor_ < list_.size() ? decode_varint(list_, cursor_) : std::nullopt;
        if (!delta) {
            left_ = 0;
            return std::nullopt;
        }
        position_ += delta->value;
        cursor_ += delta->size;
    }
    --left_;
    return position_;
}

inline std::optional<PacketRecord> PacketCursor::record_at(uint64_t p) {
    const uint64_t prefix = link_type_per_packet_ ? kRecordLinkTypeSize : 0;
    if (p < returned_end_ || !within(p, prefix + kRecordHeaderSize, file_.size())) return std::nullopt;
    const uint8_t* header = file_.data() + p + prefix;
    const uint32_t incl_len = decode_u32(header + kRecordInclLenOffset, ByteOrder::Little);
    if (!within(p + prefix + kRecordHeaderSize, incl_len, file_.size())) return std::nullopt;
    const uint32_t link_type = prefix ? decode_u32(header - prefix, ByteOrder::Little) : link_type_;
    if (prefix && std::find(link_types_->begin(), link_types_->end(), link_type) == link_types_->end()) {
        if (!unlisted_) unlisted_ = link_type;
        return std::nullopt;
    }
    returned_end_ = p + prefix + kRecordHeaderSize + incl_len;
    PacketRecord r;
    r.ts_sec = decode_u32(header, ByteOrder::Little);
    const uint32_t fraction = decode_u32(header + 4, ByteOrder::Little);
    r.ts_usec = nanoseconds_ ? fraction / 1000 : fraction;
    r.ts_nsec = nanoseconds_ ? fraction : uint64_t(fraction) * 1000;
    r.incl_len = incl_len;
    r.orig_len = decode_u32(header + 12, ByteOrder::Little);
    r.link_type = link_type;
    r.data = header + kRecordHeaderSize;
    r.nanoseconds = nanoseconds_;
    r.tunnels = tunnels_;
    return r;
}

inline void ReadAheadCursor::read_ahead() {
    const std::optional<uint64_t> position = packets_.offsets_.next();
    if (!position) return;
    ahead_[(first_ + count_++) % kAhead] = *position;
    // The record's header and the line after it, where a frame's IP addresses lie.
    const ByteView file = packets_.file_;
    if (*position < file.size()) __builtin_prefetch(file.data() + *position);
    if (*position + 64 < file.size()) __builtin_prefetch(file.data() + *position + 64);
}

inline std::optional<PacketRecord> ReadAheadCursor::next() {
    while (count_) {
        const uint64_t position = ahead_[first_];
        first_ = (first_ + 1) % kAhead;
        --count_;
        read_ahead();
        if (auto r = packets_.record_at(position)) return r;
    }
    return std::nullopt;
}

// All of the cursor's packets.
Result<std::vector<PacketRecord>> read_packets(const ArchiveReader& reader, const FlowRecord& record);

}  // namespace flowsieve::archive
