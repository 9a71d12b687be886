#include "util/file_io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/os_error.hpp"

namespace flowsieve {

Result<UniqueFd, int> open_regular_for_writing(int dir_fd, const char* path, int flags) {
    const int base = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags;
    UniqueFd fd;
    if (flags & O_CREAT) {
        // Usually nothing is there yet: a file this call creates is regular,
        // which saves asking.
        fd.reset(::openat(dir_fd, path, base | O_EXCL, 0666));
        if (fd.valid()) return fd;
        if (errno != EEXIST) return errno;
    }
    fd.reset(::openat(dir_fd, path, base, 0666));
    if (!fd.valid()) return errno;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return ENXIO;
    return fd;
}

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
