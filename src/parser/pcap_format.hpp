// The classic pcap file layout, shared by the reader and by every writer of
// pcap data: a 24-byte global header, then 16-byte record headers each
// followed by the frame bytes. The files this system writes are
// little-endian, with the timestamps at the precision of their input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/byte_view.hpp"

namespace flowsieve {

inline constexpr size_t kPcapGlobalHeaderSize = 24;
inline constexpr size_t kPcapRecordHeaderSize = 16;
inline constexpr size_t kPcapSnapLengthOffset = 16;
inline constexpr size_t kPcapLinkTypeOffset = 20;
inline constexpr uint32_t kPcapMagicMicros = 0xA1B2C3D4;
inline constexpr uint32_t kPcapMagicNanos = 0xA1B23C4D;
inline constexpr uint16_t kPcapVersionMajor = 2;
inline constexpr uint16_t kPcapVersionMinor = 4;
// The snap length written for an input that declares one no larger.
inline constexpr uint32_t kPcapWrittenSnapLength = 65535;
// The largest record that capture tools write (libpcap's largest snap length).
inline constexpr uint32_t kPcapMaxRecordLength = 262144;

// The snap length that an output of a capture declaring `declared` states:
// readers built on libpcap cut every record longer than the snap length, so
// it is never below the input's, and an input that states none (0) may hold
// records as long as libpcap's largest.
inline uint32_t written_snap_length(uint32_t declared) {
    if (declared == 0) return kPcapMaxRecordLength;
    return declared > kPcapWrittenSnapLength ? declared : kPcapWrittenSnapLength;
}

inline void encode_pcap_global_header(uint8_t out[kPcapGlobalHeaderSize], uint32_t link_type,
                                      uint32_t snap_length = kPcapWrittenSnapLength, bool nanoseconds = false) {
    encode_u32le(out, nanoseconds ? kPcapMagicNanos : kPcapMagicMicros);
    encode_u16le(out + 4, kPcapVersionMajor);
    encode_u16le(out + 6, kPcapVersionMinor);
    encode_u32le(out + 8, 0);   // time zone offset
    encode_u32le(out + 12, 0);  // timestamp accuracy
    encode_u32le(out + kPcapSnapLengthOffset, snap_length);
    encode_u32le(out + kPcapLinkTypeOffset, link_type);
}

// `ts_fraction`: microseconds, or nanoseconds in a file of the nanosecond magic.
inline void encode_pcap_record_header(uint8_t out[kPcapRecordHeaderSize], uint32_t ts_sec,
                                      uint32_t ts_fraction, uint32_t incl_len, uint32_t orig_len) {
    encode_u32le(out, ts_sec);
    encode_u32le(out + 4, ts_fraction);
    encode_u32le(out + 8, incl_len);
    encode_u32le(out + 12, orig_len);
}

}  // namespace flowsieve
