// The floor of the split and archive benchmarks: the least work that the
// outputs require. It maps the capture as flowsieve does, decodes only what
// finding a packet's session needs, and makes the same system calls that the
// output requires and no others:
//
//   floor split CAPTURE OUTDIR [--l7] [--nosplit] [--max-open N] [--buffer N]
//       one hidden temporary file per session, named as flowsieve names it
//       (so that the kernel does the same work for each name), the same
//       buffered writes, the same open-file limit (least recently used closed
//       first, reopened for appending), one rename each at the end.
//   floor archive CAPTURE OUT
//       OUT.tmp written through one 256 KiB buffer: a 64-byte header, every
//       record (16-byte header and frame), each session's record positions
//       kept, then per-flow offset lists (the first position as u64, then
//       LEB128 deltas), a 96-byte record per flow and a 128-byte footer, no
//       index; renamed to OUT. The same files and system calls as
//       ../shared/bench/pcapfloor.c's archive mode.
//
// Classic pcap (little-endian, microseconds) and little-endian pcapng with
// Ethernet frames: what bench/gen_capture.py writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t le32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

struct Packet {
    uint32_t ts_sec, ts_usec, incl_len, orig_len;
    const uint8_t* data;
};

// Walks the packets of a mapped capture.
class Capture {
public:
    explicit Capture(const char* path) {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) die(path);
        struct stat st;
        if (::fstat(fd, &st) != 0) die("fstat");
        size_ = size_t(st.st_size);
        data_ = static_cast<const uint8_t*>(::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0));
        if (data_ == MAP_FAILED) die("mmap");
        ::madvise(const_cast<uint8_t*>(data_), size_, MADV_SEQUENTIAL);
        ::close(fd);
        pcapng_ = le32(data_) == 0x0A0D0D0A;
        pos_ = pcapng_ ? 0 : 24;
    }

    bool next(Packet& p) {
        if (!pcapng_) {
            if (size_ - pos_ < 16) return false;
            const uint8_t* h = data_ + pos_;
            p = {le32(h), le32(h + 4), le32(h + 8), le32(h + 12), h + 16};
            pos_ += 16 + p.incl_len;
            return true;
        }
        while (size_ - pos_ >= 12) {
            const uint8_t* b = data_ + pos_;
            const uint32_t type = le32(b), length = le32(b + 4);
            pos_ += length;
            if (type != 6) continue;
            const uint64_t ticks = uint64_t(le32(b + 12)) << 32 | le32(b + 16);
            p = {uint32_t(ticks / 1000000), uint32_t(ticks % 1000000), le32(b + 20), le32(b + 24), b + 28};
            return true;
        }
        return false;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_;
    bool pcapng_;
};

// A session as a bidirectional 5-tuple, and where the payload starts.
struct Session {
    uint8_t key[37] = {};  // protocol, then the lower and the higher (address, port)
    size_t payload = 0;
    uint8_t address_size = 0;  // 4 or 16; 0 without IP
    bool swapped = false;  // the packet goes from the higher to the lower endpoint
};

Session session_of(const Packet& p) {
    Session s;
    const uint8_t* f = p.data;
    size_t n = p.incl_len, at = 14;
    if (n < 14) return s;
    uint16_t type = be16(f + 12);
    if (type == 0x8100 && n >= 18) type = be16(f + 16), at = 18;
    const uint8_t *src, *dst;
    size_t alen, l4;
    uint8_t proto;
    if (type == 0x0800 && n >= at + 20) {
        proto = f[at + 9], src = f + at + 12, dst = f + at + 16, alen = 4, l4 = at + (f[at] & 15) * 4;
    } else if (type == 0x86DD && n >= at + 40) {
        proto = f[at + 6], src = f + at + 8, dst = f + at + 24, alen = 16, l4 = at + 40;
    } else {
        return s;
    }
    uint8_t sp[2] = {}, dp[2] = {};
    s.payload = l4;
    if ((proto == 6 || proto == 17) && n >= l4 + 4) {
        std::memcpy(sp, f + l4, 2), std::memcpy(dp, f + l4 + 2, 2);
        s.payload = proto == 6 && n >= l4 + 13 ? l4 + (f[l4 + 12] >> 4) * 4 : l4 + 8;
    }
    if (s.payload > n) s.payload = n;
    uint8_t a[18] = {}, b[18] = {};
    std::memcpy(a, src, alen), std::memcpy(a + 16, sp, 2);
    std::memcpy(b, dst, alen), std::memcpy(b + 16, dp, 2);
    const bool swap = std::memcmp(a, b, 18) > 0;
    s.swapped = swap;
    s.key[0] = proto;
    std::memcpy(s.key + 1, swap ? b : a, 18);
    std::memcpy(s.key + 19, swap ? a : b, 18);
    s.address_size = uint8_t(alen);
    return s;
}

// The name of a session's file, made once per session: the capture's stem
// and the key text ("6_10.0.0.1_10.0.0.2_1234_80") with '.' and ':' as '_'.
std::string file_name(const std::string& stem, const Session& s, bool l7) {
    std::string key = "no_session";
    if (s.address_size) {
        char a[INET6_ADDRSTRLEN], b[INET6_ADDRSTRLEN];
        const int family = s.address_size == 4 ? AF_INET : AF_INET6;
        ::inet_ntop(family, s.key + 1, a, sizeof a);
        ::inet_ntop(family, s.key + 19, b, sizeof b);
        key = std::to_string(s.key[0]) + "_" + a + "_" + b + "_" + std::to_string(be16(s.key + 17)) + "_" +
              std::to_string(be16(s.key + 35));
        for (char& c : key)
            if (c == '.' || c == ':') c = '_';
    }
    return stem + "_" + key + (l7 ? ".l7" : ".pcap");
}

// The capture's file name without its directory and extension.
std::string stem_of(const char* path) {
    std::string name = path;
    name = name.substr(name.rfind('/') + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

void write_all(int fd, const uint8_t* p, size_t n) {
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w <= 0) die("write");
        p += w, n -= size_t(w);
    }
}

// Copies what fits into the buffer; otherwise writes the buffer out, and a
// piece as large as the buffer straight after it.
void buffered_write(int fd, uint8_t* buffer, size_t size, size_t& used, const uint8_t* p, size_t n) {
    if (n <= size - used) {
        std::memcpy(buffer + used, p, n);
        used += n;
        return;
    }
    write_all(fd, buffer, used);
    used = 0;
    if (n >= size) return write_all(fd, p, n);
    std::memcpy(buffer, p, n);
    used = n;
}

// One flow file with its buffer, in least recently used order when open.
struct Flow {
    std::string tmp, name;
    int fd = -1;
    std::unique_ptr<uint8_t[]> buffer;
    size_t used = 0;
    bool payload = false;
    Flow *older = nullptr, *newer = nullptr;
};

class Split {
public:
    Split(std::string dir, size_t max_open, size_t buffer, bool l7)
        : dir_(std::move(dir)), max_open_(max_open), buffer_(buffer), l7_(l7) {
        ::mkdir(dir_.c_str(), 0777);
        dirfd_ = ::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirfd_ < 0) die("output directory");
    }

    void write(Flow& f, const uint8_t* p, size_t n) { buffered_write(f.fd, f.buffer.get(), buffer_, f.used, p, n); }

    void add(Flow& f, const Packet& p, size_t payload) {
        if (f.fd < 0) open(f);
        else touch(f);
        if (l7_) {
            if (payload < p.incl_len) f.payload = true;
            return write(f, p.data + payload, p.incl_len - payload);
        }
        uint8_t h[16];
        put32(h, p.ts_sec), put32(h + 4, p.ts_usec), put32(h + 8, p.incl_len), put32(h + 12, p.orig_len);
        write(f, h, 16);
        write(f, p.data, p.incl_len);
    }

    void finish(std::vector<std::unique_ptr<Flow>>& flows) {
        while (oldest_) close(*oldest_);
        for (auto& f : flows) {
            if (l7_ && !f->payload) ::unlinkat(dirfd_, f->tmp.c_str(), 0);
            else if (::renameat(dirfd_, f->tmp.c_str(), dirfd_, f->name.c_str()) != 0) die("rename");
        }
    }

private:
    void flush(Flow& f) {
        write_all(f.fd, f.buffer.get(), f.used);
        f.used = 0;
    }
    void unlink_lru(Flow& f) {
        (f.older ? f.older->newer : oldest_) = f.newer;
        (f.newer ? f.newer->older : newest_) = f.older;
        f.older = f.newer = nullptr;
    }
    void push_newest(Flow& f) {
        f.older = newest_;
        (newest_ ? newest_->newer : oldest_) = &f;
        newest_ = &f;
    }
    void touch(Flow& f) {
        unlink_lru(f);
        push_newest(f);
    }
    void close(Flow& f) {
        flush(f);
        ::close(f.fd);
        f.fd = -1;
        unlink_lru(f);
        --open_;
        spare_.push_back(std::move(f.buffer));
    }
    void open(Flow& f) {
        if (open_ >= max_open_) close(*oldest_);
        const bool create = f.tmp.empty();
        if (create) f.tmp = "." + f.name + ".tmp";
        f.fd = ::openat(dirfd_, f.tmp.c_str(),
                        O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_EXCL : O_APPEND), 0666);
        if (f.fd < 0) die("open");
        if (!spare_.empty()) {
            f.buffer = std::move(spare_.back());
            spare_.pop_back();
        } else {
            f.buffer.reset(new uint8_t[buffer_]);
        }
        ++open_;
        push_newest(f);
        if (create && !l7_) {
            uint8_t h[24] = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0};
            put32(h + 16, 65535), put32(h + 20, 1);
            write(f, h, 24);
        }
    }

    std::string dir_;
    int dirfd_;
    size_t max_open_, buffer_;
    bool l7_;
    size_t open_ = 0;
    Flow *oldest_ = nullptr, *newest_ = nullptr;
    std::vector<std::unique_ptr<uint8_t[]>> spare_;
};

struct KeyHash {
    size_t operator()(const std::string_view& k) const { return std::hash<std::string_view>{}(k); }
};

int split(Capture& capture, const char* path, const char* dir, size_t max_open, size_t buffer, bool l7,
          bool nosplit) {
    Split out(dir, max_open, buffer, l7);
    const std::string stem = stem_of(path);
    std::vector<std::unique_ptr<Flow>> flows;
    auto make = [&](std::string name) {
        flows.push_back(std::make_unique<Flow>());
        flows.back()->name = std::move(name);
        return flows.back().get();
    };
    std::unordered_map<std::string, Flow*> by_key;
    Flow* single = nullptr;
    Packet p;
    while (capture.next(p)) {
        const Session s = session_of(p);
        Flow* f;
        if (nosplit) {
            if (!single) single = make(stem + "_all" + (l7 ? ".l7" : ".pcap"));
            f = single;
        } else {
            std::string key(reinterpret_cast<const char*>(s.key), s.address_size ? sizeof s.key : 0);
            auto [it, fresh] = by_key.try_emplace(std::move(key), nullptr);
            if (fresh) it->second = make(file_name(stem, s, l7));
            f = it->second;
        }
        out.add(*f, p, s.address_size ? s.payload : p.incl_len);
    }
    out.finish(flows);
    return 0;
}

// A flow of the archive: its record positions and its table entry's facts.
struct ArchiveFlow {
    uint8_t key[40] = {};  // the session's, zero-padded; all zeros without IP
    std::vector<uint64_t> positions;
    uint8_t proto = 0, src[16] = {}, dst[16] = {};
    uint16_t sport = 0, dport = 0;  // as the first packet has them
    uint64_t start_ts = 0, end_ts = 0, total = 0;
};

// Sessions by key, open addressing: the slots hold a flow's index + 1, 0
// when free.
class SessionTable {
public:
    // The slot of the key: its flow's, or the free one to fill.
    uint32_t& find(const uint8_t (&key)[40], const std::vector<ArchiveFlow>& flows) {
        size_t i = hash(key) & (slots_.size() - 1);
        while (slots_[i] && std::memcmp(flows[slots_[i] - 1].key, key, 40) != 0) i = (i + 1) & (slots_.size() - 1);
        return slots_[i];
    }
    // After a slot was filled: at most half the slots are used.
    void added(const std::vector<ArchiveFlow>& flows) {
        if (flows.size() * 2 <= slots_.size()) return;
        std::vector<uint32_t> old(slots_.size() * 2);
        old.swap(slots_);
        for (uint32_t slot : old)
            if (slot) find(flows[slot - 1].key, flows) = slot;
    }

private:
    static uint64_t hash(const uint8_t (&key)[40]) {
        uint64_t words[5], h = 0x9E3779B97F4A7C15ull;
        std::memcpy(words, key, sizeof words);
        for (uint64_t w : words) {
            h ^= w;
            h *= 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        }
        return h;
    }

    std::vector<uint32_t> slots_ = std::vector<uint32_t>(1024);
};

class ArchiveFile {
public:
    explicit ArchiveFile(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
        if (fd_ < 0) die(path.c_str());
    }
    void put(const void* p, size_t n) {
        buffered_write(fd_, buffer_.get(), kBuffer, used_, static_cast<const uint8_t*>(p), n);
        position_ += n;
    }
    uint64_t position() const { return position_; }
    void close() {
        write_all(fd_, buffer_.get(), used_);
        if (::close(fd_) != 0) die("close");
    }

private:
    static constexpr size_t kBuffer = 256 * 1024;
    int fd_;
    std::unique_ptr<uint8_t[]> buffer_{new uint8_t[kBuffer]};
    size_t used_ = 0;
    uint64_t position_ = 0;
};

int archive(Capture& capture, const std::string& out) {
    const std::string tmp = out + ".tmp";
    ArchiveFile file(tmp);
    uint8_t header[64] = {'F', 'S', 'I', 'E', 'V', 'E', '0', '2'};
    put32(header + 8, 2), put32(header + 12, 1);
    file.put(header, sizeof header);
    std::vector<ArchiveFlow> flows;
    SessionTable table;
    Packet p;
    while (capture.next(p)) {
        const Session s = session_of(p);
        uint8_t key[40] = {};
        if (s.address_size) std::memcpy(key, s.key, sizeof s.key);
        uint32_t& slot = table.find(key, flows);
        const bool fresh = slot == 0;
        if (fresh) slot = uint32_t(flows.size() + 1);
        const size_t index = slot - 1;
        const uint64_t ts = uint64_t(p.ts_sec) * 1000000 + p.ts_usec;
        if (fresh) {
            ArchiveFlow& f = flows.emplace_back();
            std::memcpy(f.key, key, sizeof key);
            f.positions.reserve(4);
            if (s.address_size) {
                const uint8_t* src = s.key + (s.swapped ? 19 : 1);
                const uint8_t* dst = s.key + (s.swapped ? 1 : 19);
                const size_t at = s.address_size == 4 ? 12 : 0;  // IPv4 mapped into IPv6
                if (at) f.src[10] = f.src[11] = f.dst[10] = f.dst[11] = 0xFF;
                std::memcpy(f.src + at, src, s.address_size);
                std::memcpy(f.dst + at, dst, s.address_size);
                f.proto = s.key[0], f.sport = be16(src + 16), f.dport = be16(dst + 16);
            }
            f.start_ts = ts;
            table.added(flows);  // may move the slots
        }
        ArchiveFlow& f = flows[index];
        f.positions.push_back(file.position());
        f.end_ts = ts;
        f.total += p.orig_len;
        const uint32_t record[4] = {p.ts_sec, p.ts_usec, p.incl_len, p.orig_len};
        file.put(record, sizeof record);
        file.put(p.data, p.incl_len);
    }
    const uint64_t data_len = file.position() - 64, offsets_off = file.position();
    std::vector<uint64_t> list_at(flows.size());
    std::vector<uint32_t> list_len(flows.size());
    for (size_t i = 0; i < flows.size(); ++i) {
        const std::vector<uint64_t>& positions = flows[i].positions;
        list_at[i] = file.position();
        file.put(&positions[0], 8);
        for (size_t j = 1; j < positions.size(); ++j) {
            uint64_t delta = positions[j] - positions[j - 1];
            uint8_t bytes[10];
            size_t n = 0;
            do {
                const uint8_t low = delta & 0x7F;
                delta >>= 7;
                bytes[n++] = uint8_t(low | (delta ? 0x80 : 0));
            } while (delta);
            file.put(bytes, n);
        }
        list_len[i] = uint32_t(file.position() - list_at[i]);
    }
    const uint64_t offsets_len = file.position() - offsets_off, table_off = file.position();
    for (size_t i = 0; i < flows.size(); ++i) {
        const ArchiveFlow& f = flows[i];
        uint8_t e[96] = {};
        const uint64_t id = i + 1;
        const uint32_t count = uint32_t(f.positions.size());
        std::memcpy(e, &id, 8);
        e[8] = f.proto;
        std::memcpy(e + 16, f.src, 16), std::memcpy(e + 32, f.dst, 16);
        std::memcpy(e + 48, &f.sport, 2), std::memcpy(e + 50, &f.dport, 2);
        std::memcpy(e + 56, &list_at[i], 8), std::memcpy(e + 64, &list_len[i], 4), std::memcpy(e + 68, &count, 4);
        std::memcpy(e + 72, &f.start_ts, 8), std::memcpy(e + 80, &f.end_ts, 8), std::memcpy(e + 88, &f.total, 8);
        file.put(e, sizeof e);
    }
    uint8_t footer[128] = {'F', 'S', 'V', 'E', 'F', 'O', 'O', 'T'};
    put32(footer + 8, 2);
    const uint64_t fields[9] = {64, data_len, offsets_off, offsets_len, table_off, file.position() - table_off,
                                flows.size(), 0, 0};
    std::memcpy(footer + 16, fields, sizeof fields);
    file.put(footer, sizeof footer);
    file.close();
    if (::rename(tmp.c_str(), out.c_str()) != 0) die("rename");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc >= 4 ? argv[1] : "";
    if (mode != "split" && mode != "archive") {
        std::fprintf(stderr, "usage: floor split CAPTURE OUTDIR [--l7] [--nosplit] [--max-open N] [--buffer N]\n"
                             "       floor archive CAPTURE OUT\n");
        return 2;
    }
    Capture capture(argv[2]);
    if (mode == "archive") return archive(capture, argv[3]);
    size_t max_open = 10000, buffer = 10000;
    bool l7 = false, nosplit = false;
    for (int i = 4; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--l7") l7 = true;
        else if (a == "--nosplit") nosplit = true;
        else if (a == "--max-open" && i + 1 < argc) max_open = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--buffer" && i + 1 < argc) buffer = std::strtoull(argv[++i], nullptr, 10);
    }
    return split(capture, argv[2], argv[3], max_open, buffer, l7, nosplit);
}
