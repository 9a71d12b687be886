// The front part that split and the archive builder share: the strategy,
// the capture opened for reading, and the filter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flow/filter.hpp"
#include "flow/strategy.hpp"
#include "parser/capture.hpp"
#include "util/call.hpp"
#include "util/result.hpp"

namespace flowsieve {

// What a split or archive build tells about its reading, for the command
// to report when it is done.
struct ReadingNotes {
    uint64_t packets = 0;  // read from the capture, before any filter
    // Packets left without an IP layer because their link type is not one
    // the dissector decodes, and the first such link type.
    uint64_t undecoded = 0;
    uint32_t undecoded_link_type = 0;
    // Where a last record cut off starts: the capture ended there. A cut
    // record header, or a pcapng block cut short, ends any capture quietly;
    // a classic pcap record cut short does so only when the caller asks.
    std::optional<uint64_t> cut_off_at;
    // Packets inside a tunnel inner mode opens (in outer mode: whose IP
    // layer's protocol and ports name one), by the outermost tunnel's kind.
    uint64_t tunnel_packets[size_t(TunnelKind::IpIp) + 1] = {};
    // Packets dropped as copies of one read just before, when asked to.
    uint64_t duplicates = 0;
};

struct FlowSource {
    SharedBytes input;  // the whole input, which every packet's frame lies in
    std::unique_ptr<CaptureReader> reader;
    PacketFilter filter;
};

// A ValueError naming the strategy as the caller gave it.
Result<SplitStrategy, CallError> choose_strategy(const ChoiceText& strategy);
// "outer" or "inner"; a ValueError naming the valid ones otherwise.
Result<TunnelMode, CallError> choose_tunnels(const ChoiceText& tunnels);

// Builds the address and port filter (a ValueError for an address text that
// does not parse), then maps the input (an IOError on failure), opens the
// capture (a RuntimeError with the capture error's text) and readies the
// frame filter, if any, for its link type. The observer may stop a long
// read of standard input.
Result<FlowSource, CallError> open_flow_source(const std::string& input_path,
                                               const std::vector<std::string>& ip_filters,
                                               const std::vector<uint16_t>& port_filters,
                                               ProgressObserver* observer, FrameFilter* frame_filter = nullptr);

}  // namespace flowsieve
