#include "util/write_buffer.hpp"

#include <errno.h>
#include <limits.h>


#include "util/file_io.hpp"
#include "util/os_error.hpp"

namespace flowsieve {
namespace {

// Pieces per writev; a lent piece always leaves one for a last run of copies.
constexpr size_t kMaxPieces = IOV_MAX;

}  // namespace

WriteBuffer::WriteBuffer(size_t capacity) : capacity_(capacity), copies_(new uint8_t[capacity]) {}

void WriteBuffer::lend(const uint8_t* data, size_t size) {
    if (size < kLendFrom || (pieces_.size() + 2 > kMaxPieces && !extends_last(data))) return copy(data, size);
    append(data, size);
}

Status<> WriteBuffer::put(int fd, const uint8_t* data, size_t size, bool lendable) {
    if (size > room()) {
        if (auto st = flush(fd); !st) return st;
        if (size >= capacity_) return write_all(fd, data, size);
    }
    if (lendable) lend(data, size);
    else copy(data, size);
    return {};
}

Status<> WriteBuffer::flush(int fd) {
    iovec* piece = pieces_.data();
    size_t left = pieces_.size();
    while (left) {
        const ssize_t n = ::writev(fd, piece, int(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            clear();
            return os_error(err);
        }
        if (n == 0) {
            clear();
            return Error{"failed to write the buffered data"};
        }
        // Past the pieces written whole, then into a piece written in part.
        size_t written = size_t(n);
        while (left && written >= piece->iov_len) written -= piece->iov_len, ++piece, --left;
        if (written) {
            piece->iov_base = static_cast<uint8_t*>(piece->iov_base) + written;
            piece->iov_len -= written;
        }
    }
    clear();
    return {};
}

void WriteBuffer::clear() {
    pieces_.clear();
    size_ = copied_ = 0;
}

}  // namespace flowsieve
