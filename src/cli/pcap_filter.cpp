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

struct Libpcap {
    void* (*fopen_offline)(FILE*, char*);
    int (*compile)(void*, BpfProgram*, const char*, int, uint32_t);
    int (*offline_filter)(const BpfProgram*, const PcapPacketHeader*, const unsigned char*);
    char* (*geterr)(void*);
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
                bind(library, "pcap_offline_filter", l.offline_filter) && bind(library, "pcap_geterr", l.geterr))
                return &l;
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
