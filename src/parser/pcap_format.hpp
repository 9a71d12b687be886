// The classic pcap file layout, shared by the reader and by every writer of
// pcap data: a 24-byte global header, then 16-byte record headers each
// followed by the frame bytes. The files this system writes are
// little-endian with microsecond timestamps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/byte_view.hpp"

namespace flowsieve {

inline constexpr size_t kPcapGlobalHeaderSize = 24;
inline constexpr size_t kPcapRecordHeaderSize = 16;
inline constexpr size_t kPcapLinkTypeOffset = 20;
inline constexpr uint32_t kPcapMagicMicros = 0xA1B2C3D4;
inline constexpr uint16_t kPcapVersionMajor = 2;
inline constexpr uint16_t kPcapVersionMinor = 4;
inline constexpr uint32_t kPcapWrittenSnapLength = 65535;
// The largest record that capture tools write (libpcap's largest snap length).
inline constexpr uint32_t kPcapMaxRecordLength = 262144;

inline void encode_pcap_global_header(uint8_t out[kPcapGlobalHeaderSize], uint32_t link_type) {
    encode_u32le(out, kPcapMagicMicros);
    encode_u16le(out + 4, kPcapVersionMajor);
    encode_u16le(out + 6, kPcapVersionMinor);
    encode_u32le(out + 8, 0);   // time zone offset
    encode_u32le(out + 12, 0);  // timestamp accuracy
    encode_u32le(out + 16, kPcapWrittenSnapLength);
    encode_u32le(out + 20, link_type);
}

inline void encode_pcap_record_header(uint8_t out[kPcapRecordHeaderSize], uint32_t ts_sec,
                                      uint32_t ts_usec, uint32_t incl_len, uint32_t orig_len) {
    encode_u32le(out, ts_sec);
    encode_u32le(out + 4, ts_usec);
    encode_u32le(out + 8, incl_len);
    encode_u32le(out + 12, orig_len);
}

}  // namespace flowsieve
