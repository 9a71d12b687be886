// CRC-32 as zip files use it (the reflected polynomial 0xEDB88320).
#pragma once

#include <cstddef>
#include <cstdint>

namespace flowsieve {

// Continues `crc` (0 to start) over the bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t size);

}  // namespace flowsieve
