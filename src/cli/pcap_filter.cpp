#include "cli/pcap_filter.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/progress.hpp"
#include "parser/pcap_format.hpp"
#include "util/call.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::cli {

// The parts of libpcap's interface that filtering uses, as its headers
// declare them.
struct BpfProgram {
    unsigned int length;
    void* instructions;
};

namespace {

struct PcapPacketHeader {
    timeval ts;
    uint32_t caplen;
    uint32_t len;
};
constexpr uint32_t kNetmaskUnknown = 0xFFFFFFFF;
constexpr size_t kErrorBufferSize = 256;
// Room made for an interface's packets of one round, about what a ring
// block of libpcap's holds, so that the batch seldom grows.
constexpr size_t kBatchReserve = 1 << 20;

struct PcapStat {
    unsigned int received;
    unsigned int dropped;  // by the kernel, for want of room
    unsigned int interface_dropped;
};
using PcapHandler = void (*)(unsigned char*, const PcapPacketHeader*, const unsigned char*);

struct Libpcap {
    void* (*fopen_offline)(FILE*, char*);
    int (*compile)(void*, BpfProgram*, const char*, int, uint32_t);
    int (*offline_filter)(const BpfProgram*, const PcapPacketHeader*, const unsigned char*);
    char* (*geterr)(void*);
    // Capturing from interfaces, bound apart: filtering needs none of it.
    struct Live {
        void* (*create)(const char*, char*);
        int (*set_snaplen)(void*, int);
        int (*set_buffer_size)(void*, int);
        int (*set_timeout)(void*, int);
        int (*set_promisc)(void*, int);
        int (*activate)(void*);
        int (*setfilter)(void*, BpfProgram*);
        void (*freecode)(BpfProgram*);
        int (*setnonblock)(void*, int, char*);
        int (*get_selectable_fd)(void*);
        int (*dispatch)(void*, int, PcapHandler, unsigned char*);
        int (*stats)(void*, PcapStat*);
        int (*datalink)(void*);
        void (*close)(void*);
        const char* (*statustostr)(int);
    };
    std::optional<Live> live;
};

template <class F>
bool bind(void* library, const char* name, F& out) {
    out = reinterpret_cast<F>(::dlsym(library, name));
    return out != nullptr;
}

// Loaded once and kept for the life of the process; null without libpcap.
const Libpcap* libpcap() {
    static const Libpcap* loaded = [] () -> const Libpcap* {
        for (const char* name : {"libpcap.so.0.8", "libpcap.so.1", "libpcap.so"}) {
            void* library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
            if (!library) continue;
            static Libpcap l;
            if (bind(library, "pcap_fopen_offline", l.fopen_offline) && bind(library, "pcap_compile", l.compile) &&
                bind(library, "pcap_offline_filter", l.offline_filter) && bind(library, "pcap_geterr", l.geterr)) {
                Libpcap::Live v;
                if (bind(library, "pcap_create", v.create) && bind(library, "pcap_set_snaplen", v.set_snaplen) &&
                    bind(library, "pcap_set_buffer_size", v.set_buffer_size) &&
                    bind(library, "pcap_set_timeout", v.set_timeout) &&
                    bind(library, "pcap_set_promisc", v.set_promisc) && bind(library, "pcap_activate", v.activate) &&
                    bind(library, "pcap_setfilter", v.setfilter) && bind(library, "pcap_freecode", v.freecode) &&
                    bind(library, "pcap_setnonblock", v.setnonblock) &&
                    bind(library, "pcap_get_selectable_fd", v.get_selectable_fd) &&
                    bind(library, "pcap_dispatch", v.dispatch) && bind(library, "pcap_stats", v.stats) &&
                    bind(library, "pcap_datalink", v.datalink) && bind(library, "pcap_close", v.close) &&
                    bind(library, "pcap_statustostr", v.statustostr))
                    l.live = v;
                return &l;
            }
            ::dlclose(library);
        }
        return nullptr;
    }();
    return loaded;
}

}  // namespace

PcapFilter::PcapFilter(std::string expression) : expression_(std::move(expression)) {
    if (!libpcap())
        throw CallError::runtime("--filter needs libpcap, which was not found: install libpcap0.8 (Debian, Ubuntu) "
                                 "or libpcap (Fedora, Arch)");
}

// Each interface's packets as they come, appended as classic pcap records
// behind a global header of its link type, to be read as any capture is.
struct LiveCapture::Interface {
    std::string name;
    void* handle = nullptr;
    int fd = -1;
    uint32_t link_type = 0;
    uint32_t snap_length = 0;
    std::vector<uint8_t> batch;
};

LiveCapture::~LiveCapture() {
    for (Interface& i : interfaces_)
        if (i.handle) libpcap()->live->close(i.handle);
}

Result<std::unique_ptr<LiveCapture>, CallError> LiveCapture::open(const std::vector<std::string>& names,
                                                                  uint32_t snap_length, uint64_t buffer_size,
                                                                  const std::string& filter) {
    const Libpcap* l = libpcap();
    if (!l || !l->live)
        return CallError::runtime("capturing from an interface needs libpcap, which was not found: install "
                                  "libpcap0.8 (Debian, Ubuntu) or libpcap (Fedora, Arch)");
    const Libpcap::Live& live = *l->live;
    std::unique_ptr<LiveCapture> capture(new LiveCapture);
    for (const std::string& name : names) {
        Interface& i = capture->interfaces_.emplace_back();
        i.name = name;
        char error[kErrorBufferSize] = "";
        i.handle = live.create(name.c_str(), error);
        auto failed = [&](std::string text) { return CallError::runtime(name + ": " + text); };
        if (!i.handle) return failed(error);
        live.set_snaplen(i.handle, int(snap_length));
        live.set_buffer_size(i.handle, int(std::min<uint64_t>(buffer_size, INT32_MAX)));
        live.set_promisc(i.handle, 1);
        live.set_timeout(i.handle, 100);
        if (int st = live.activate(i.handle); st < 0) {
            const std::string detail = l->geterr(i.handle);
            return failed(detail.empty() ? live.statustostr(st) : detail);
        }
        if (!filter.empty()) {
            BpfProgram code{};
            if (l->compile(i.handle, &code, filter.c_str(), 1, kNetmaskUnknown) != 0)
                return CallError::value("invalid --filter expression '" + filter + "': " + l->geterr(i.handle));
            const int set = live.setfilter(i.handle, &code);
            live.freecode(&code);
            if (set != 0) return failed(l->geterr(i.handle));
        }
        if (live.setnonblock(i.handle, 1, error) != 0) return failed(error);
        i.fd = live.get_selectable_fd(i.handle);
        if (i.fd < 0) return failed("cannot be waited on");
        i.link_type = uint32_t(live.datalink(i.handle));
        i.snap_length = snap_length;
        FrameFileFormat format;
        format.link_types = {i.link_type};
        format.snap_length = snap_length;
        if (capture->interfaces_.size() == 1) capture->format_ = format;
        else capture->format_.add(format);
    }
    return capture;
}

namespace {

void append_packet(unsigned char* user, const PcapPacketHeader* header, const unsigned char* data) {
    auto& batch = *reinterpret_cast<std::vector<uint8_t>*>(user);
    uint8_t record[kPcapRecordHeaderSize];
    encode_pcap_record_header(record, uint32_t(header->ts.tv_sec), uint32_t(header->ts.tv_usec), header->caplen,
                              header->len);
    const size_t at = batch.size();
    batch.resize(at + sizeof record + header->caplen);
    std::memcpy(batch.data() + at, record, sizeof record);
    std::memcpy(batch.data() + at + sizeof record, data, header->caplen);
}

}  // namespace

Result<std::vector<std::unique_ptr<CaptureReader>>, CallError> LiveCapture::next(int timeout_ms) {
    const Libpcap::Live& live = *libpcap()->live;
    std::vector<pollfd> fds;
    for (const Interface& i : interfaces_) fds.push_back({i.fd, POLLIN, 0});
    std::vector<std::unique_ptr<CaptureReader>> readers;
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR)
        return CallError::runtime(os_error(errno), interfaces_.front().name);
    for (Interface& i : interfaces_) {
        // Also without a sign from poll: some ring buffers are handed over
        // only when read.
        uint8_t header[kPcapGlobalHeaderSize];
        encode_pcap_global_header(header, i.link_type, i.snap_length);
        i.batch.reserve(kBatchReserve);
        i.batch.assign(header, header + sizeof header);
        const int n = live.dispatch(i.handle, -1, append_packet, reinterpret_cast<unsigned char*>(&i.batch));
        if (n < 0) return CallError::runtime(i.name + ": " + libpcap()->geterr(i.handle));
        if (n == 0) continue;
        auto bytes = std::make_shared<std::vector<uint8_t>>(std::move(i.batch));
        auto reader = open_capture(SharedBytes(bytes, bytes->data(), bytes->size()));
        if (!reader) return CallError::runtime(i.name + ": " + reader.error().text());
        readers.push_back(std::move(reader).value());
    }
    return readers;
}

LiveCapture::Drops LiveCapture::drops() const {
    Drops total;
    for (const Interface& i : interfaces_) {
        PcapStat stat{};
        if (libpcap()->live->stats(i.handle, &stat) != 0) continue;
        total.kernel += stat.dropped;
        total.interface += stat.interface_dropped;
    }
    return total;
}

namespace {

// One instruction of a compiled program, as libpcap lays it out.
constexpr size_t kInstructionSize = 8;

// What the compiling child sends: a status byte, then the instructions
// (kOk) or libpcap's message.
enum : uint8_t { kOk, kFailed };

// Compiles in the calling process and writes the result to `out`; runs in
// the child.
void compile_into(int out, const std::string& expression, uint32_t link_type) {
    const Libpcap& l = *libpcap();
    // The handle is that of a capture file with no packets: libpcap then
    // compiles as tcpdump -r does, mapping the link type to its own number
    // and taking the null header's family in every order and numbering that
    // capture files hold, where a handle from pcap_open_dead would not.
    uint8_t header[kPcapGlobalHeaderSize];
    encode_pcap_global_header(header, link_type);
    FILE* file = ::fmemopen(header, sizeof header, "rb");
    char error[kErrorBufferSize] = "";
    void* pcap = file ? l.fopen_offline(file, error) : nullptr;
    std::string reply(1, char(kFailed));
    BpfProgram code{};
    if (!pcap) {
        reply += *error ? error : "libpcap could not read link type " + std::to_string(link_type);
    } else if (l.compile(pcap, &code, expression.c_str(), 1, kNetmaskUnknown) == 0) {
        reply[0] = char(kOk);
        reply.append(static_cast<const char*>(code.instructions), size_t(code.length) * kInstructionSize);
    } else {
        reply += l.geterr(pcap);
    }
    (void)write_all(out, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
}

// Reads the child's reply to the end; false when a signal to the command
// came first.
bool read_reply(int in, std::string& reply) {
    for (;;) {
        if (interrupt_signal()) return false;
        pollfd p{in, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;  // checked twenty times a second
        char chunk[65536];
        const ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n > 0) reply.append(chunk, size_t(n));
        else if (n == 0 || errno != EINTR) return true;
    }
}

}  // namespace

// libpcap's compiler cannot be stopped, and some expressions keep it busy
// for minutes and gigabytes: it runs in a child process, which a signal to
// the command ends at once.
PcapFilter::Program PcapFilter::compile(uint32_t link_type) const {
    Program program;
    auto not_started = [&] {
        program.error = "libpcap's compiler could not be started: " + strerror_text(errno);
        return program;
    };
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return not_started();
    UniqueFd in(ends[0]), out(ends[1]);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        // Ctrl-C reaches the child too, and the child goes with the command.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent || interrupt_signal()) ::_exit(1);
        in.reset();
        compile_into(out.get(), expression_, link_type);
        ::_exit(0);
    }
    if (child < 0) return not_started();
    out.reset();
    std::string reply;
    const bool answered = read_reply(in.get(), reply);
    if (!answered) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!answered) {
        program.error = CallError::interrupted().message;
    } else if (reply.empty() || (reply[0] == char(kOk) && (reply.size() - 1) % kInstructionSize != 0)) {
        program.error = "libpcap's compiler failed" +
                        (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : std::string());
    } else if (reply[0] == char(kOk)) {
        const size_t count = (reply.size() - 1) / kInstructionSize;
        auto* instructions = new uint64_t[count ? count : 1];
        std::memcpy(instructions, reply.data() + 1, count * kInstructionSize);
        program.code = std::shared_ptr<BpfProgram>(new BpfProgram{unsigned(count), instructions}, [](BpfProgram* p) {
            delete[] static_cast<uint64_t*>(p->instructions);
            delete p;
        });
    } else {
        program.error = reply.substr(1);
    }
    return program;
}

Status<CallError> PcapFilter::prepare(uint32_t link_type) {
    Program& program = programs_[link_type] = compile(link_type);
    if (program.code) return {};
    if (interrupt_signal()) return CallError::interrupted();
    rejected_ = true;
    return CallError::value("invalid --filter expression '" + expression_ + "': " + program.error);
}

bool PcapFilter::accepts(const ParsedPacket& packet) {
    if (!last_ || packet.link_type != last_link_type_) {
        auto found = programs_.find(packet.link_type);
        if (found == programs_.end()) found = programs_.emplace(packet.link_type, compile(packet.link_type)).first;
        last_ = &found->second;
        last_link_type_ = packet.link_type;
    }
    if (!last_->code) {
        ++last_->skipped;
        return false;
    }
    PcapPacketHeader header{};
    header.ts.tv_sec = time_t(packet.ts_sec);
    header.ts.tv_usec = suseconds_t(packet.ts_usec);
    header.caplen = packet.incl_len;
    header.len = packet.orig_len;
    return libpcap()->offline_filter(last_->code.get(), &header, packet.data.data()) != 0;
}

void PcapFilter::add_warnings(std::vector<std::string>& warnings) const {
    for (const auto& [link_type, program] : programs_)
        if (program.skipped)
            warnings.push_back("the --filter expression does not apply to link type " + std::to_string(link_type) +
                               " (" + program.error + "); its " + std::to_string(program.skipped) +
                               " packets were left out");
}

}  // namespace flowsieve::cli
