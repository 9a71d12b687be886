// Reader of pcapng captures: an opening scan learns the byte order and the
// interface table from the blocks before the first packet block; reading
// then walks Enhanced and Simple Packet Blocks and skips everything else.
#pragma once

#include <algorithm>
#include <vector>

#include "parser/capture.hpp"
#include "parser/frame_file.hpp"

namespace flowsieve {

struct InterfaceInfo {
    uint64_t ticks_per_second = 1000000;
    uint16_t link_type = 1;
    uint32_t snap_length = 0;  // 0: none stated
};

class PcapNgReader final : public CaptureReader {
public:
    // Runs the opening scan; fails with its message as a PcapNgFormat error.
    static Result<std::unique_ptr<PcapNgReader>, CaptureError> open(SharedBytes input);

    uint32_t link_type() const override { return format_.link_types.front(); }
    const FrameFileFormat& frame_format() const override { return format_; }
    NextPacket next_packet() override;
    uint64_t bytes_consumed() const override { return std::min<uint64_t>(position_, input_.size()); }

private:
    explicit PcapNgReader(SharedBytes input) : input_(std::move(input)) {}
    NextPacket read_enhanced(ByteView block);
    NextPacket read_simple(ByteView block);
    void describe_output();

    SharedBytes input_;
    uint64_t position_ = 0;
    ByteOrder order_ = ByteOrder::Little;
    std::vector<InterfaceInfo> interfaces_;
    FrameFileFormat format_;
};

}  // namespace flowsieve
