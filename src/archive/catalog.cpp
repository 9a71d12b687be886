#include "archive/catalog.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::archive {
namespace {

// Each entry: the magic, its length, then its fields, little-endian.
constexpr uint32_t kEntryMagic = 0x45435346;       // "FSCE"
constexpr uint32_t kNamedEntryMagic = 0x4E435346;  // "FSCN": its filter holds names (CatalogEntry::names)
constexpr size_t kFixedSize = 8 * 4 + 8 * 4 + 8 * CatalogEntry::kFilterWords;
constexpr size_t kMaxNameSize = 4096;

uint64_t mix(uint64_t h) {
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9;
    h ^= h >> 27;
    h *= 0x94D049BB133111EB;
    return h ^ h >> 31;
}

uint64_t hash_of(const StoredAddress& a) {
    uint64_t h = 0x9E3779B97F4A7C15;
    for (uint8_t b : a) h = mix(h ^ b) + 1;
    return h;
}

uint64_t hash_of(uint16_t port) { return mix(0x5F0A7E5ull << 20 | port); }

// Three bits of the filter from one hash.
template <class F>
void for_bits(uint64_t h, F f) {
    constexpr uint64_t kBits = 64 * CatalogEntry::kFilterWords;
    for (int i = 0; i < 3; ++i) f((h >> (21 * i)) % kBits);
}

void add_key(CatalogEntry& e, uint64_t h) {
    for_bits(h, [&](uint64_t bit) { e.keys[bit / 64] |= uint64_t(1) << (bit % 64); });
}

bool has_key(const CatalogEntry& e, uint64_t h) {
    bool all = true;
    for_bits(h, [&](uint64_t bit) { all = all && (e.keys[bit / 64] >> (bit % 64) & 1); });
    return all;
}

bool has_protocol(const CatalogEntry& e, uint8_t p) { return e.protocols[p / 64] >> (p % 64) & 1; }

int64_t mtime_ns(const struct stat& st) { return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec; }

std::vector<uint8_t> encode(const CatalogEntry& e) {
    std::vector<uint8_t> out(8 + kFixedSize + e.name.size());
    uint8_t* p = out.data();
    encode_u32le(p, e.names ? kNamedEntryMagic : kEntryMagic);
    encode_u32le(p + 4, uint32_t(out.size() - 8));
    p += 8;
    for (uint64_t v : {e.size, uint64_t(e.mtime_ns), e.first_ns, e.last_ns}) encode_u64le(p, v), p += 8;
    for (uint64_t v : e.protocols) encode_u64le(p, v), p += 8;
    for (uint64_t v : e.keys) encode_u64le(p, v), p += 8;
    std::copy(e.name.begin(), e.name.end(), p);
    return out;
}

}  // namespace

bool CatalogEntry::describes(const struct stat& st) const {
    return S_ISREG(st.st_mode) && uint64_t(st.st_size) == size && flowsieve::archive::mtime_ns(st) == mtime_ns;
}

bool CatalogEntry::may_match(const FlowQuery& q) const {
    for (const StoredAddress& a : q.addresses)
        if (!has_key(*this, hash_of(a))) return false;
    for (uint16_t port : q.ports)
        if (!has_key(*this, hash_of(port))) return false;
    auto any = [&](const auto& values) {
        return values.empty() || std::any_of(values.begin(), values.end(), [&](const auto& v) { return has_key(*this, hash_of(v)); });
    };
    if (!any(q.any_address) || !any(q.any_port)) return false;
    if (names && !q.names.empty() && std::none_of(q.names.begin(), q.names.end(), [&](const std::string& pattern) {
            return has_key(*this, pattern_name_key(pattern));
        }))
        return false;
    if (!q.protocols.empty() &&
        std::none_of(q.protocols.begin(), q.protocols.end(), [&](uint8_t p) { return has_protocol(*this, p); }))
        return false;
    if (first_ns > last_ns) return false;  // no flows
    if ((q.since && last_ns < *q.since) || (q.until && first_ns > *q.until)) return false;
    if (q.tuple)
        return has_protocol(*this, q.tuple->protocol) && has_key(*this, hash_of(q.tuple->a)) &&
               has_key(*this, hash_of(q.tuple->b)) && has_key(*this, hash_of(q.tuple->a_port)) &&
               has_key(*this, hash_of(q.tuple->b_port));
    return true;
}

CatalogEntry catalog_entry(const ArchiveReader& reader, std::string name, const struct stat& st) {
    CatalogEntry e;
    e.name = std::move(name);
    e.size = uint64_t(st.st_size);
    e.mtime_ns = mtime_ns(st);
    for (const FlowRecord& r : reader.records()) {
        e.first_ns = std::min({e.first_ns, r.start_ns, r.end_ns});
        e.last_ns = std::max({e.last_ns, r.start_ns, r.end_ns});
        e.protocols[r.proto / 64] |= uint64_t(1) << (r.proto % 64);
        add_key(e, hash_of(r.src_addr));
        add_key(e, hash_of(r.dst_addr));
        add_key(e, hash_of(r.src_port));
        add_key(e, hash_of(r.dst_port));
        if (const std::optional<ByteView> name = reader.field(r, FlowFieldTag::ServerName))
            for_each_name_key(std::string_view(reinterpret_cast<const char*>(name->data()), name->size()),
                              [&](uint64_t key) { add_key(e, key); });
    }
    e.names = true;
    return e;
}

Catalog Catalog::read(int dir_fd) {
    Catalog catalog;
    UniqueFd fd(::openat(dir_fd, kCatalogName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return catalog;
    std::vector<uint8_t> bytes(size_t(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n <= 0) break;
        got += size_t(n);
    }
    const ByteView view(bytes.data(), got);
    for (size_t at = 0;;) {
        const auto magic = view.u32(at, ByteOrder::Little);
        const auto length = view.u32(at + 4, ByteOrder::Little);
        if (!magic || !length || (*magic != kEntryMagic && *magic != kNamedEntryMagic) || *length < kFixedSize ||
            *length > kFixedSize + kMaxNameSize || !view.has(at + 8, *length))
            break;
        size_t p = at + 8;
        CatalogEntry e;
        e.names = *magic == kNamedEntryMagic;
        auto next = [&] {
            const uint64_t v = *view.u64le(p);
            p += 8;
            return v;
        };
        e.size = next();
        e.mtime_ns = int64_t(next());
        e.first_ns = next();
        e.last_ns = next();
        for (uint64_t& v : e.protocols) v = next();
        for (uint64_t& v : e.keys) v = next();
        e.name.assign(reinterpret_cast<const char*>(view.data() + p), at + 8 + *length - p);
        catalog.add(std::move(e));
        at += 8 + *length;
    }
    return catalog;
}

const CatalogEntry* Catalog::find(const std::string& name) const {
    auto found = entries_.find(name);
    return found == entries_.end() ? nullptr : &found->second;
}

void Catalog::add(CatalogEntry entry) {
    std::string name = entry.name;
    entries_.insert_or_assign(std::move(name), std::move(entry));
}

Status<> Catalog::append(int dir_fd, const CatalogEntry& entry) {
    auto fd = open_regular_for_writing(dir_fd, kCatalogName, O_CREAT | O_APPEND);
    if (!fd) return os_error(fd.error());
    const std::vector<uint8_t> bytes = encode(entry);
    // One write, so that entries appended by two runs do not interleave.
    const ssize_t n = ::write(fd->get(), bytes.data(), bytes.size());
    if (n < 0) return os_error(errno);
    if (size_t(n) != bytes.size()) return Error{"short write to " + std::string(kCatalogName)};
    return {};
}

Status<> Catalog::write(int dir_fd) const {
    return write_renamed(dir_fd, kCatalogName, [&](int fd) -> Status<> {
        std::vector<uint8_t> bytes;
        for (const auto& [name, entry] : entries_) {
            const std::vector<uint8_t> one = encode(entry);
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        return write_all(fd, bytes.data(), bytes.size());
    });
}

}  // namespace flowsieve::archive
