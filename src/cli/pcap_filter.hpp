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

}  // namespace flowsieve::cli
