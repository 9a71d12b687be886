// The floor of the split benchmarks: the least work that the outputs
// require. It maps the capture as flowsieve does, decodes only what finding
// a packet's session needs, and makes the same system calls that the output
// requires and no others:
//
//   floor split CAPTURE OUTDIR [--l7] [--nosplit] [--max-open N] [--buffer N]
//       one hidden temporary file per session, named as flowsieve names it
//       (so that the kernel does the same work for each name), the same
//       buffered writes, the same open-file limit (least recently used closed
//       first, reopened for appending), one rename each at the end.
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

    void write(Flow& f, const uint8_t* p, size_t n) {
        if (n <= buffer_ - f.used) {
            std::memcpy(f.buffer.get() + f.used, p, n);
            f.used += n;
            return;
        }
        flush(f);
        if (n >= buffer_) return write_all(f.fd, p, n);
        std::memcpy(f.buffer.get(), p, n);
        f.used = n;
    }

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: floor split CAPTURE OUTDIR [--l7] [--nosplit] [--max-open N] [--buffer N]\n");
        return 2;
    }
    Capture capture(argv[2]);
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
