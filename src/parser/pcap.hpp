// Reader of classic pcap files, in both byte orders and resolutions.
#pragma once

#include <algorithm>
#include <optional>

#include "parser/capture.hpp"
#include "parser/pcap_format.hpp"

namespace flowsieve {

struct PcapFormat {
    ByteOrder order;
    bool nanoseconds;
};

// The byte order and resolution shown by the first four bytes, if they are
// one of the four classic pcap magics.
std::optional<PcapFormat> classic_pcap_format(const uint8_t magic[4]);

class PcapReader final : public CaptureReader {
public:
    // The input holds at least the global header.
    PcapReader(SharedBytes input, PcapFormat format);
    uint32_t link_type() const override { return format_out_.link_types.front(); }
    const FrameFileFormat& frame_format() const override { return format_out_; }
    NextPacket next_packet() override;
    uint64_t bytes_consumed() const override { return std::min<uint64_t>(position_, input_.size()); }

private:
    SharedBytes input_;
    uint64_t position_ = kPcapGlobalHeaderSize;
    PcapFormat format_;
    FrameFileFormat format_out_;
};

}  // namespace flowsieve
