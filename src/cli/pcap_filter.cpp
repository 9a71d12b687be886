#include "cli/pcap_filter.hpp"

#include <dlfcn.h>
#include <sys/time.h>

#include <cstdio>

#include "parser/pcap_format.hpp"
#include "util/call.hpp"

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
    void (*freecode)(BpfProgram*);
    void (*close)(void*);
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
                bind(library, "pcap_offline_filter", l.offline_filter) && bind(library, "pcap_geterr", l.geterr) &&
                bind(library, "pcap_freecode", l.freecode) && bind(library, "pcap_close", l.close))
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

PcapFilter::Program PcapFilter::compile(uint32_t link_type) const {
    const Libpcap& l = *libpcap();
    Program program;
    // The handle is that of a capture file with no packets: libpcap then
    // compiles as tcpdump -r does, mapping the link type to its own number
    // and taking the null header's family in every order and numbering that
    // capture files hold, where a handle from pcap_open_dead would not.
    uint8_t header[kPcapGlobalHeaderSize];
    encode_pcap_global_header(header, link_type);
    FILE* file = ::fmemopen(header, sizeof header, "rb");
    char error[kErrorBufferSize] = "";
    void* pcap = file ? l.fopen_offline(file, error) : nullptr;
    if (!pcap) {
        if (file) std::fclose(file);
        program.error = *error ? error : "libpcap could not read link type " + std::to_string(link_type);
        return program;
    }
    BpfProgram code{};
    if (l.compile(pcap, &code, expression_.c_str(), 1, kNetmaskUnknown) == 0) {
        program.code = std::shared_ptr<BpfProgram>(new BpfProgram(code), [](BpfProgram* p) {
            libpcap()->freecode(p);
            delete p;
        });
    } else {
        program.error = l.geterr(pcap);
    }
    l.close(pcap);
    return program;
}

Status<CallError> PcapFilter::prepare(uint32_t link_type) {
    Program& program = programs_[link_type] = compile(link_type);
    if (program.code) return {};
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
