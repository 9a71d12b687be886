// The pcapng layout, shared by the reader and by the writer of pcapng
// files: blocks of a type and a total length that is repeated at their end,
// padded to four bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flowsieve {

inline constexpr uint32_t kPcapNgSectionHeader = 0x0A0D0D0A;
inline constexpr uint32_t kPcapNgInterfaceDescription = 1;
inline constexpr uint32_t kPcapNgSimplePacket = 3;
inline constexpr uint32_t kPcapNgEnhancedPacket = 6;

inline constexpr uint32_t kPcapNgByteOrderMagic = 0x1A2B3C4D;

inline constexpr uint16_t kPcapNgOptionEnd = 0;
inline constexpr uint16_t kPcapNgOptionTsresol = 9;
// if_tsresol: a power of ten, or of two when its high bit is set.
inline constexpr uint8_t kPcapNgTsresolBinary = 0x80;

// Block type and total length, then the fixed fields of an Enhanced Packet
// Block: interface id, timestamp high and low words, captured and original
// lengths; then the frame, padding and the trailing total length.
inline constexpr size_t kPcapNgBlockHeaderSize = 8;
inline constexpr size_t kPcapNgEnhancedHeaderSize = 28;
inline constexpr size_t kPcapNgBlockTrailerSize = 4;

inline constexpr uint64_t pcapng_padded(uint64_t n) { return (n + 3) & ~uint64_t(3); }

}  // namespace flowsieve
