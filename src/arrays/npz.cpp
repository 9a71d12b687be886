#include "arrays/npz.hpp"

#include <errno.h>

#include <limits>

#include "util/crc32.hpp"
#include "util/file_io.hpp"

namespace flowsieve::arrays {
namespace {

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEnd = 0x06054b50;
constexpr uint32_t kZip64End = 0x06064b50;
constexpr uint32_t kZip64Locator = 0x07064b50;
constexpr uint16_t kZip64Extra = 0x0001;
constexpr uint16_t kVersion = 20;       // stored files
constexpr uint16_t kVersionZip64 = 45;
constexpr uint16_t kDate = 1 << 5 | 1;  // 1980-01-01: no time is recorded
// A field at its largest value says that the ZIP64 record holds the value.
constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint16_t kU16Max = std::numeric_limits<uint16_t>::max();
// From these on, a size, offset or count needs the ZIP64 record.
constexpr uint64_t kZip64Bytes = kU32Max;
constexpr uint64_t kZip64Entries = kU16Max;

void put16(std::string& out, uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}
void put32(std::string& out, uint32_t v) {
    put16(out, uint16_t(v));
    put16(out, uint16_t(v >> 16));
}
void put64(std::string& out, uint64_t v) {
    put32(out, uint32_t(v));
    put32(out, uint32_t(v >> 32));
}

// One member of the archive, as the central directory lists it.
struct Member {
    std::string name;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t offset = 0;  // of its local header
};

// The local header, or with `central` the central directory's entry.
std::string member_header(const Member& m, bool central) {
    const bool big_size = m.size >= kZip64Bytes;
    const bool big_offset = central && m.offset >= kZip64Bytes;
    std::string extra;
    if (big_size || big_offset) {
        std::string fields;
        // The local header's ZIP64 field holds both sizes; the central one
        // holds only the fields too large for theirs, in this order.
        if (big_size || !central) {
            put64(fields, m.size);
            put64(fields, m.size);
        }
        if (big_offset) put64(fields, m.offset);
        put16(extra, kZip64Extra);
        put16(extra, uint16_t(fields.size()));
        extra += fields;
    }
    const uint16_t needed = extra.empty() ? kVersion : kVersionZip64;
    std::string h;
    put32(h, central ? kCentralHeader : kLocalHeader);
    if (central) put16(h, kVersionZip64);  // made by
    put16(h, needed);
    put16(h, 0);  // flags
    put16(h, 0);  // stored
    put16(h, 0);  // time
    put16(h, kDate);
    put32(h, m.crc);
    put32(h, big_size ? kU32Max : uint32_t(m.size));
    put32(h, big_size ? kU32Max : uint32_t(m.size));
    put16(h, uint16_t(m.name.size()));
    put16(h, uint16_t(extra.size()));
    if (central) {
        put16(h, 0);  // comment
        put16(h, 0);  // disk
        put16(h, 0);  // internal attributes
        put32(h, 0);  // external attributes
        put32(h, big_offset ? kU32Max : uint32_t(m.offset));
    }
    return h + m.name + extra;
}

std::string directory_end(uint64_t entries, uint64_t directory_offset, uint64_t directory_size) {
    std::string out;
    const bool zip64 = entries >= kZip64Entries || directory_offset >= kZip64Bytes || directory_size >= kZip64Bytes;
    if (zip64) {
        const uint64_t record_offset = directory_offset + directory_size;
        put32(out, kZip64End);
        put64(out, 44);  // the record's size after this field
        put16(out, kVersionZip64);
        put16(out, kVersionZip64);
        put32(out, 0);
        put32(out, 0);
        put64(out, entries);
        put64(out, entries);
        put64(out, directory_size);
        put64(out, directory_offset);
        put32(out, kZip64Locator);
        put32(out, 0);
        put64(out, record_offset);
        put32(out, 1);
    }
    put32(out, kEnd);
    put16(out, 0);
    put16(out, 0);
    put16(out, zip64 ? kU16Max : uint16_t(entries));
    put16(out, zip64 ? kU16Max : uint16_t(entries));
    put32(out, zip64 ? kU32Max : uint32_t(directory_size));
    put32(out, zip64 ? kU32Max : uint32_t(directory_offset));
    put16(out, 0);
    return out;
}

}  // namespace

std::string npy_header(const Array& a) {
    std::string shape = "(";
    for (size_t i = 0; i < a.shape.size(); ++i) shape += (i ? ", " : "") + std::to_string(a.shape[i]);
    if (a.shape.size() == 1) shape += ",";
    shape += ")";
    std::string dict = "{'descr': '" + a.dtype + "', 'fortran_order': False, 'shape': " + shape + ", }";
    // Magic (6), version (2) and length (2), then the dictionary padded with
    // spaces and ended by a newline, so that the bytes start 64-aligned.
    const size_t total = (10 + dict.size() + 1 + 63) / 64 * 64;
    dict.append(total - 10 - dict.size() - 1, ' ');
    dict += '\n';
    std::string out = "\x93NUMPY";
    out += char(1);
    out += char(0);
    put16(out, uint16_t(dict.size()));
    return out + dict;
}

Status<CallError> write_npz(const std::string& path, std::vector<Array>& arrays) {
    auto written = write_to_path(path, [&](int fd) -> Status<> {
        uint64_t position = 0;
        auto write = [&](const uint8_t* data, size_t size) -> Status<> {
            position += size;
            return write_all(fd, data, size);
        };
        auto write_text = [&](const std::string& s) {
            return write(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        };
        std::vector<Member> members;
        for (Array& a : arrays) {
            const std::string header = npy_header(a);
            Member m{a.name + ".npy", 0, header.size() + a.data.bytes(), position};
            m.crc = crc32_update(0, reinterpret_cast<const uint8_t*>(header.data()), header.size());
            a.data.visit([&](const uint8_t* data, size_t size) { m.crc = crc32_update(m.crc, data, size); });
            if (auto st = write_text(member_header(m, false)); !st) return st;
            if (auto st = write_text(header); !st) return st;
            Status<> done;
            a.data.drain([&](const uint8_t* data, size_t size) { return bool(done = write(data, size)); });
            if (!done) return done;
            members.push_back(std::move(m));
        }
        const uint64_t directory_offset = position;
        for (const Member& m : members)
            if (auto st = write_text(member_header(m, true)); !st) return st;
        return write_text(directory_end(members.size(), directory_offset, position - directory_offset));
    });
    if (!written && written.error().os_errno == EINTR) return CallError::interrupted();  // a FIFO's reader never came
    if (!written) return CallError::io(std::move(written).error(), path == "-" ? "standard output" : path);
    return {};
}

}  // namespace flowsieve::arrays
