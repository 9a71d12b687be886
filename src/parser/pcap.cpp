#include "parser/pcap.hpp"

namespace flowsieve {

std::optional<PcapFormat> classic_pcap_format(const uint8_t m[4]) {
    if (m[0] == 0xD4 && m[1] == 0xC3 && m[2] == 0xB2 && m[3] == 0xA1) return PcapFormat{ByteOrder::Little, false};
    if (m[0] == 0xA1 && m[1] == 0xB2 && m[2] == 0xC3 && m[3] == 0xD4) return PcapFormat{ByteOrder::Big, false};
    if (m[0] == 0x4D && m[1] == 0x3C && m[2] == 0xB2 && m[3] == 0xA1) return PcapFormat{ByteOrder::Little, true};
    if (m[0] == 0xA1 && m[1] == 0xB2 && m[2] == 0x3C && m[3] == 0x4D) return PcapFormat{ByteOrder::Big, true};
    return std::nullopt;
}

PcapReader::PcapReader(SharedBytes input, PcapFormat format)
    : input_(std::move(input)), format_(format) {
    const ByteView v = input_.view();
    format_out_.link_types = {v.u32(kPcapLinkTypeOffset, format_.order).value_or(0)};
    format_out_.snap_length = written_snap_length(v.u32(kPcapSnapLengthOffset, format_.order).value_or(0));
    format_out_.nanoseconds = format_.nanoseconds;
}

NextPacket PcapReader::next_packet() {
    ByteView v = input_.view();
    auto header = v.sub(position_, kPcapRecordHeaderSize);
    if (!header) {  // a trailing fragment is ignored
        if (position_ < v.size()) return EndOfCapture{position_};
        return EndOfCapture{};
    }
    const ByteOrder order = format_.order;
    uint32_t ts_sec = *header->u32(0, order);
    uint32_t ts_sub = *header->u32(4, order);
    uint32_t incl_len = *header->u32(8, order);
    uint32_t orig_len = *header->u32(12, order);
    position_ += kPcapRecordHeaderSize;
    if (!v.has(position_, incl_len)) {
        auto error = CaptureError::pcap("packet incl_len " + std::to_string(incl_len) +
                                        " exceeds remaining data at offset " + std::to_string(position_));
        // A length no capture tool writes is damage, not a record cut short.
        if (incl_len <= kPcapMaxRecordLength) error.cut_off_at = position_ - kPcapRecordHeaderSize;
        return error;
    }
    SharedBytes frame = frame_of(input_, position_, incl_len);
    position_ += incl_len;
    prefetch_record(v, position_);
    const FrameTime time = format_.nanoseconds ? FrameTime{ts_sec, ts_sub / 1000, uint16_t(ts_sub % 1000)}
                                               : FrameTime{ts_sec, ts_sub, 0};
    return packet_of(time, orig_len, std::move(frame), link_type());
}

}  // namespace flowsieve
