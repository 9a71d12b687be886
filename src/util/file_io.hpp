// Writing whole buffers to a descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve {

// Opens a file for writing (flags added to O_WRONLY) without blocking and
// without following a symlink; anything but a regular file there is refused
// with ENXIO, so that a FIFO planted at the name cannot hold the caller.
// The error is the errno value.
Result<UniqueFd, int> open_regular_for_writing(int dir_fd, const char* path, int flags);

// Writes all bytes, retrying short writes and EINTR.
Status<> write_all(int fd, const uint8_t* data, size_t size);

}  // namespace flowsieve
