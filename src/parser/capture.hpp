// The capture input: one reader interface over the classic pcap and pcapng
// formats, and format detection by magic number.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "packet/packet.hpp"
#include "parser/frame_file.hpp"
#include "util/shared_bytes.hpp"
#include "util/result.hpp"

namespace flowsieve {

struct CaptureError {
    enum class Kind { PcapFormat, PcapNgFormat, UnknownFormat };
    Kind kind = Kind::UnknownFormat;
    std::string detail;
    // Set when the last record, which starts here, runs past the end of the
    // input, as a capture tool stopped while writing leaves it: every record
    // before it was read.
    std::optional<uint64_t> cut_off_at;

    std::string text() const;
    static CaptureError pcap(std::string detail) { return {Kind::PcapFormat, std::move(detail), {}}; }
    static CaptureError pcapng(std::string detail) { return {Kind::PcapNgFormat, std::move(detail), {}}; }
    static CaptureError unknown() { return {Kind::UnknownFormat, {}, {}}; }
};

struct EndOfCapture {
    // Where a last record or block too short to read starts, when the input
    // ends inside one.
    std::optional<uint64_t> cut_off_at;
};

// What next_packet yields: a packet, the end, or the error that stops reading.
using NextPacket = std::variant<ParsedPacket, EndOfCapture, CaptureError>;

class CaptureReader {
public:
    virtual ~CaptureReader() = default;
    virtual uint32_t link_type() const = 0;
    // How the frames read are written back out without loss.
    virtual const FrameFileFormat& frame_format() const = 0;
    // Not called again after the end of the capture or an error.
    virtual NextPacket next_packet() = 0;
    // How far reading has come, in bytes of the input.
    virtual uint64_t bytes_consumed() const = 0;
    // From now on, frames borrow the input instead of sharing it: the caller
    // keeps the input alive while it uses them, and reading spares the
    // shared count two atomic operations per packet.
    void lend_frames() { lend_frames_ = true; }
    // Frames are dissected in this mode: inner mode opens tunnels in the
    // same pass as the rest.
    void decode_tunnels(TunnelMode mode) { tunnels_ = mode; }

protected:
    // The frame at [offset, offset + size) of the input, whose bounds the
    // caller has checked.
    SharedBytes frame_of(const SharedBytes& input, size_t offset, size_t size) const {
        return lend_frames_ ? input.borrowed_slice(offset, size) : input.slice(offset, size);
    }
    // Asks for the next record's start (its header, and the headers of its
    // frame) while this packet is worked on: found only through this
    // record's length, no prefetcher of the processor's foresees it, and
    // waiting for it is most of what reading a large capture costs.
    static void prefetch_record(ByteView input, size_t offset) {
        static constexpr size_t kCacheLine = 64;
        if (offset <= input.size() && input.size() - offset >= 2 * kCacheLine) {
            __builtin_prefetch(input.data() + offset);
            __builtin_prefetch(input.data() + offset + kCacheLine);
        }
    }
    // The frame's packet, dissected where it is returned rather than copied there.
    NextPacket packet_of(const FrameTime& time, uint32_t orig_len, SharedBytes frame, uint32_t link_type) const {
        NextPacket packet(std::in_place_type<ParsedPacket>);
        dissect_frame_into(std::get<ParsedPacket>(packet), time, orig_len, std::move(frame), link_type, tunnels_);
        return packet;
    }

private:
    bool lend_frames_ = false;
    TunnelMode tunnels_ = TunnelMode::Outer;
};

Result<std::unique_ptr<CaptureReader>, CaptureError> open_capture(SharedBytes input);

// Whether the bytes start with the magic number of a format open_capture reads.
bool is_capture_magic(ByteView start);

}  // namespace flowsieve
