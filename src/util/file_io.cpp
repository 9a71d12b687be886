#include "util/file_io.hpp"

#include <errno.h>
#include <unistd.h>

#include "util/os_error.hpp"

namespace flowsieve {

Status<> write_all(int fd, const uint8_t* data, size_t size) {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n == 0) {
            return Error{"failed to write the buffered data"};
        } else if (errno != EINTR) {
            return os_error(errno);
        }
    }
    return {};
}

}  // namespace flowsieve
