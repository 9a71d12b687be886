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
};

Result<std::unique_ptr<CaptureReader>, CaptureError> open_capture(SharedBytes input);

// Whether the bytes start with the magic number of a format open_capture reads.
bool is_capture_magic(ByteView start);

}  // namespace flowsieve
