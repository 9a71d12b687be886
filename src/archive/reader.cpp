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
namespace {

// [offset, offset + length) inside [0, size), without overflow.
bool within(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

}  // namespace

const FlowRecord* ArchiveReader::find_id(uint64_t id) const {
    if (ids_in_order_) return id >= 1 && id <= records_.size() ? &records_[id - 1] : nullptr;
    auto it = id_positions_.find(id);
    return it == id_positions_.end() ? nullptr : &records_[it->second];
}

Result<std::shared_ptr<const ArchiveReader>> open_archive(const std::string& path) {
    if (path.find('\0') != std::string::npos) return Error{"Failed to open archive"};
    // Not blocking: a FIFO must not hold the caller until a writer comes.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return Error{"Failed to open archive"};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(errno);
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
    reader->mapping_ = Mapping(addr, length);
    const ByteView file = reader->mapping();
    reader->link_type_ = file.u32(kHeaderLinkTypeOffset, ByteOrder::Little).value_or(0);

    auto footer = decode_footer(file, size - kFooterSize);
    if (!footer) return Error{"Invalid archive footer"};
    const ArchiveFooter& f = *footer;
    if (!within(f.table_off, f.table_len, length)) return Error{"Flow table extends beyond file"};

    const size_t count = size_t(f.table_len / kFlowRecordSize);
    reader->records_.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto record = decode_flow_record(file, size_t(f.table_off) + i * kFlowRecordSize);
        if (!record) break;  // cannot happen: the table lies inside the file
        reader->records_.push_back(*record);
        reader->ids_in_order_ = reader->ids_in_order_ && record->id == i + 1;
    }
    if (!reader->ids_in_order_)
        for (size_t i = 0; i < count; ++i) reader->id_positions_.emplace(reader->records_[i].id, i);

    if (f.index_off != 0 && f.index_len >= kIndexHeaderSize && within(f.index_off, f.index_len, length)) {
        auto bytes = file.sub(size_t(f.index_off), size_t(f.index_len));
        if (auto header = bytes ? decode_index_header(*bytes) : std::nullopt)
            reader->index_ = ArchiveIndex{std::vector<uint8_t>(bytes->data(), bytes->data() + bytes->size()), *header};
    }
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

std::optional<uint64_t> OffsetCursor::next() {
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

uint64_t OffsetCursor::bound() const {
    if (left_ == 0) return 0;
    // Every position after the first takes at least one byte of the list.
    return std::min<uint64_t>(left_, (cursor_ == 0) + list_.size() - std::max(cursor_, kOffsetListHead));
}

Result<std::vector<uint64_t>> read_offsets(const ArchiveReader& reader, const FlowRecord& record) {
    auto cursor = OffsetCursor::of(reader, record);
    if (!cursor) return std::move(cursor).error();
    std::vector<uint64_t> positions;
    positions.reserve(cursor->bound());
    while (auto p = cursor->next()) positions.push_back(*p);
    return positions;
}

Result<PacketCursor> PacketCursor::of(const ArchiveReader& reader, const FlowRecord& record) {
    auto offsets = OffsetCursor::of(reader, record);
    if (!offsets) return std::move(offsets).error();
    return PacketCursor(reader.mapping(), *offsets);
}

std::optional<PacketRecord> PacketCursor::next() {
    while (auto p = offsets_.next()) {
        if (*p < returned_end_ || !within(*p, kRecordHeaderSize, file_.size())) continue;
        const uint8_t* header = file_.data() + *p;
        const uint32_t incl_len = decode_u32(header + kRecordInclLenOffset, ByteOrder::Little);
        if (!within(*p + kRecordHeaderSize, incl_len, file_.size())) continue;
        returned_end_ = *p + kRecordHeaderSize + incl_len;
        return PacketRecord{decode_u32(header, ByteOrder::Little), decode_u32(header + 4, ByteOrder::Little),
                            incl_len, decode_u32(header + 12, ByteOrder::Little), header + kRecordHeaderSize};
    }
    return std::nullopt;
}

Result<std::vector<PacketRecord>> read_packets(const ArchiveReader& reader, const FlowRecord& record) {
    auto cursor = PacketCursor::of(reader, record);
    if (!cursor) return std::move(cursor).error();
    std::vector<PacketRecord> packets;
    packets.reserve(cursor->bound());
    while (auto p = cursor->next()) packets.push_back(*p);
    return packets;
}

}  // namespace flowsieve::archive
