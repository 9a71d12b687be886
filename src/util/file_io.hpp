// Writing whole buffers to a descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/result.hpp"

namespace flowsieve {

// Writes all bytes, retrying short writes and EINTR.
Status<> write_all(int fd, const uint8_t* data, size_t size);

}  // namespace flowsieve
