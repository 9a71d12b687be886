#include "archive/reader.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>

#include "util/os_error.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::archive {
const FlowRecord* ArchiveReader::find_id(uint64_t id) const {
    if (ids_in_order_) return id >= 1 && id <= records_.size() ? &records_[id - 1] : nullptr;
    auto it = std::lower_bound(by_id_.begin(), by_id_.end(), id,
                               [&](uint32_t position, uint64_t wanted) { return records_[position].id < wanted; });
    return it != by_id_.end() && records_[*it].id == id ? &records_[*it] : nullptr;
}

const FlowFieldsEntry* ArchiveReader::fields_entry(uint64_t id) const {
    auto at = std::lower_bound(fields_.begin(), fields_.end(), id,
                               [](const FlowFieldsEntry& e, uint64_t wanted) { return e.id < wanted; });
    return at != fields_.end() && at->id == id ? &*at : nullptr;
}

std::optional<FlowFields> ArchiveReader::fields(const FlowRecord& record) const {
    const FlowFieldsEntry* entry = fields_entry(record.id);
    if (!entry) return std::nullopt;
    return decode_flow_fields(fields_bytes_, *entry);
}

std::optional<ByteView> ArchiveReader::field(const FlowRecord& record, FlowFieldTag tag) const {
    const FlowFieldsEntry* entry = fields_entry(record.id);
    if (!entry) return std::nullopt;
    std::optional<ByteView> found;
    for_each_flow_field(fields_bytes_, *entry, [&](uint8_t t, ByteView bytes) {
        if (t == uint8_t(tag)) found = bytes;
        return !found;
    });
    return found;
}

std::optional<ConnSummary> ArchiveReader::connection(const FlowRecord& record) const {
    const FlowFieldsEntry* entry = fields_entry(record.id);
    if (!entry) return std::nullopt;
    std::optional<ConnSummary> c;
    std::optional<ByteView> history;
    for_each_flow_field(fields_bytes_, *entry, [&](uint8_t t, ByteView bytes) {
        if (t == uint8_t(FlowFieldTag::Connection)) c = decode_connection(bytes);
        else if (t == uint8_t(FlowFieldTag::History)) history = bytes;
        return true;
    });
    if (c && history) c->history.assign(reinterpret_cast<const char*>(history->data()), history->size());
    return c;
}

std::shared_ptr<const ArchiveReader> ArchiveReader::packets_only(const std::vector<const FlowRecord*>& kept) const {
    // The name index's keys, and its ids after them; the flow fields section
    // too: those of the flows kept are read again from the file when asked for.
    const ByteView names = name_index_ ? ByteView(name_index_->keys.data(), 2 * name_index_->keys.size()) : ByteView();
    for (const ByteView& area : {table_, index_ ? index_->bytes : ByteView(), names, fields_bytes_})
        mapping_->release(area.data(), area.size());
    auto reader = std::make_shared<ArchiveReader>();
    reader->mapping_ = mapping_;
    reader->header_ = header_;
    reader->frame_format_ = frame_format_;
    reader->tunnels_ = tunnels_;
    // Every flow has fields: those of flows not kept would cost 16 bytes each.
    for (const FlowRecord* r : kept)
        if (const FlowFieldsEntry* entry = fields_entry(r->id)) reader->fields_.push_back(*entry);
    std::sort(reader->fields_.begin(), reader->fields_.end(),
              [](const FlowFieldsEntry& a, const FlowFieldsEntry& b) { return a.id < b.id; });
    reader->fields_bytes_ = fields_bytes_;
    return reader;
}

Result<std::shared_ptr<const ArchiveReader>> open_archive(const std::string& path) {
    if (path.find('\0') != std::string::npos) return Error{"Failed to open archive"};
    // Not blocking: a FIFO must not hold the caller until a writer comes.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return Error{"Failed to open archive", errno};
    return open_archive(std::move(fd));
}

Result<std::shared_ptr<const ArchiveReader>> open_archive(UniqueFd fd) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(errno);
    // Mapping a directory fails as "No such device": say what it is.
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    const uint64_t size = uint64_t(st.st_size);
    if (size < kFooterSize) return Error{"File too small to be a valid archive"};

    // The file may have changed since: map what is there now.
    if (::fstat(fd.get(), &st) != 0) return Error{"Failed to mmap archive"};
    const uint64_t length = uint64_t(st.st_size);
    if (length == 0 || length > uint64_t(std::numeric_limits<ptrdiff_t>::max()))
        return Error{"Failed to mmap archive"};
    void* addr = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) return Error{"Failed to mmap archive"};

    auto reader = std::make_shared<ArchiveReader>();
    reader->mapping_ = std::make_shared<const Mapping>(addr, length);
    const ByteView file = reader->mapping();

    auto footer = decode_footer(file, size - kFooterSize);
    if (!footer) return Error{"Invalid archive footer"};
    const ArchiveFooter& f = *footer;
    auto header = decode_header(file);
    if (!header) return Error{"Invalid archive header"};
    for (uint32_t version : {header->version, f.version})
        if (version != kVersion && version != kVersionLossless)
            return Error{"Unsupported archive version: " + std::to_string(version)};
    if (header->version != f.version) return Error{"Unsupported archive version: " + std::to_string(header->version)};
    // Several link types, as the builder lists them: the first is the header's.
    if (header->link_type_per_packet() &&
        (header->link_types.size() < 2 || header->link_types.front() != header->link_type ||
         decode_u32(file.data() + kHeaderLinkTypeCountOffset, ByteOrder::Little) != header->link_types.size()))
        return Error{"Invalid archive header"};
    reader->header_ = *header;
    FrameFileFormat& format = reader->frame_format_;
    format.link_types = header->link_type_per_packet() ? header->link_types : std::vector<uint32_t>{header->link_type};
    format.snap_length = header->snap_length == 0 ? kPcapWrittenSnapLength : header->snap_length;
    format.nanoseconds = header->nanoseconds();
    if (!within(f.table_off, f.table_len, length)) return Error{"Flow table extends beyond file"};

    const size_t count = size_t(f.table_len / kFlowRecordSize);
    reader->table_ = *file.sub(size_t(f.table_off), size_t(count * kFlowRecordSize));
    reader->records_.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto record = decode_flow_record(file, size_t(f.table_off) + i * kFlowRecordSize, header->nanoseconds());
        if (!record) break;  // cannot happen: the table lies inside the file
        reader->records_.push_back(*record);
        reader->ids_in_order_ = reader->ids_in_order_ && record->id == i + 1;
    }
    if (!reader->ids_in_order_) {
        if (count > std::numeric_limits<uint32_t>::max()) return Error{"Flow table holds more than 4294967295 flows"};
        const auto& records = reader->records_;
        reader->by_id_.resize(count);
        for (size_t i = 0; i < count; ++i) reader->by_id_[i] = uint32_t(i);
        std::sort(reader->by_id_.begin(), reader->by_id_.end(),
                  [&](uint32_t a, uint32_t b) { return records[a].id < records[b].id; });
        // Flows are asked for by id, through the index and by the caller: a
        // table that gives two flows one id cannot answer for either.
        const auto same_id = [&](uint32_t a, uint32_t b) { return records[a].id == records[b].id; };
        const auto repeated = std::adjacent_find(reader->by_id_.begin(), reader->by_id_.end(), same_id);
        if (repeated != reader->by_id_.end())
            return Error{"Invalid flow table: duplicate flow id " + std::to_string(records[*repeated].id)};
    }

    if (f.index_off != 0 && f.index_len >= kIndexHeaderSize && within(f.index_off, f.index_len, length)) {
        const ByteView bytes = *file.sub(size_t(f.index_off), size_t(f.index_len));
        if (auto index_header = decode_index_header(bytes)) reader->index_ = ArchiveIndex{bytes, *index_header};
    }
    if (f.fields_off != 0 && within(f.fields_off, f.fields_len, length)) {
        reader->fields_bytes_ = *file.sub(size_t(f.fields_off), size_t(f.fields_len));
        FlowFieldsSection section = locate_flow_fields(reader->fields_bytes_);
        if (section.flags & kFieldsInnerTunnels) reader->tunnels_ = TunnelMode::Inner;
        reader->fields_ = std::move(section.entries);
    }
    if (f.names_off != 0 && within(f.names_off, f.names_len, length))
        reader->name_index_ = locate_name_index(*file.sub(size_t(f.names_off), size_t(f.names_len)));
    return std::shared_ptr<const ArchiveReader>(std::move(reader));
}

Result<OffsetCursor> OffsetCursor::of(const ArchiveReader& reader, const FlowRecord& record) {
    const ByteView file = reader.mapping();
    if (!within(record.offsets_pos, record.offsets_len, file.size())) return Error{"Offset list extends beyond file"};
    OffsetCursor c;
    if (record.offsets_len < kOffsetListHead) return c;
    c.list_ = *file.sub(size_t(record.offsets_pos), record.offsets_len);
    c.left_ = record.packet_count;
    return c;
}

Result<PacketCursor> PacketCursor::of(const ArchiveReader& reader, const FlowRecord& record) {
    auto offsets = OffsetCursor::of(reader, record);
    if (!offsets) return std::move(offsets).error();
    return PacketCursor(reader.mapping(), *offsets, reader.header(), reader.tunnels());
}

Result<ReadAheadCursor> ReadAheadCursor::of(const ArchiveReader& reader, const FlowRecord& record) {
    auto packets = PacketCursor::of(reader, record);
    if (!packets) return std::move(packets).error();
    return ReadAheadCursor(packets.value());
}

ReadAheadCursor::ReadAheadCursor(PacketCursor packets) : packets_(packets) {
    for (unsigned i = 0; i < kAhead; ++i) read_ahead();
}

Result<std::vector<PacketRecord>> read_packets(const ArchiveReader& reader, const FlowRecord& record) {
    auto start = PacketCursor::of(reader, record);
    if (!start) return std::move(start).error();
    // The offset list may be far longer than the records it reaches (one
    // record listed again and again), so it is walked twice, first to count
    // the records, rather than sized by its length.
    size_t count = 0;
    for (PacketCursor cursor = start.value(); cursor.next();) ++count;
    std::vector<PacketRecord> packets;
    packets.reserve(count);
    for (PacketCursor cursor = start.value(); auto p = cursor.next();) packets.push_back(*p);
    return packets;
}

}  // namespace flowsieve::archive
