// --filter: tcpdump-style filter expressions, compiled by libpcap once for
// each link type the capture's frames come with. libpcap is loaded at run
// time, so the command needs it only when --filter is given.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flow/filter.hpp"
#include "parser/capture.hpp"
#include "parser/frame_file.hpp"
#include "util/call.hpp"
#include "util/result.hpp"

namespace flowsieve::cli {

struct BpfProgram;

class PcapFilter final : public FrameFilter {
public:
    // Loads libpcap; a CallError naming the package to install without it.
    explicit PcapFilter(std::string expression);

    // A ValueError with libpcap's message when the expression does not
    // compile for the capture's link type.
    Status<CallError> prepare(uint32_t link_type) override;
    bool accepts(const ParsedPacket& packet) override;

    // Whether prepare failed: the expression, not the capture, is at fault.
    bool rejected() const { return rejected_; }
    // A warning for each later link type (of a pcapng interface) that the
    // expression did not compile for, and whose frames were left out.
    void add_warnings(std::vector<std::string>& warnings) const;

private:
    struct Program {
        std::shared_ptr<BpfProgram> code;  // null when compiling failed
        std::string error;
        uint64_t skipped = 0;
    };
    Program compile(uint32_t link_type) const;

    std::string expression_;
    std::map<uint32_t, Program> programs_;
    uint32_t last_link_type_ = 0;
    Program* last_ = nullptr;
    bool rejected_ = false;
};

// Packets captured from network interfaces by libpcap, loaded as for
// --filter: each interface opened with pcap_create, its snap length and
// kernel buffer set, activated and given the filter.
class LiveCapture {
public:
    static Result<std::unique_ptr<LiveCapture>, CallError> open(const std::vector<std::string>& interfaces,
                                                                uint32_t snap_length, uint64_t buffer_size,
                                                                const std::string& filter);
    ~LiveCapture();

    // Waits up to `timeout_ms` for packets; a reader over each interface's
    // packets that came, none when none did.
    Result<std::vector<std::unique_ptr<CaptureReader>>, CallError> next(int timeout_ms);

    // Every interface's link type, and how its frames are written out.
    const FrameFileFormat& format() const { return format_; }

    // Packets dropped so far on all interfaces, by the kernel for want of
    // room and by the interfaces.
    struct Drops {
        uint64_t kernel = 0;
        uint64_t interface = 0;
    };
    Drops drops() const;

private:
    struct Interface;
    LiveCapture() = default;
    std::vector<Interface> interfaces_;
    FrameFileFormat format_;
};

}  // namespace flowsieve::cli
