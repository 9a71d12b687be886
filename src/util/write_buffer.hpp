// The write buffer of one output file. It writes `capacity` bytes at a time,
// exactly as a plain buffer would, but it does not copy large pieces: it
// keeps their addresses and the kernel takes them from where they lie when
// the buffer is written out, so a lent piece must stay valid until then.
// Small pieces are copied, which keeps the pieces per write few.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "util/result.hpp"

namespace flowsieve {

class WriteBuffer {
public:
    // Pieces this large or larger are lent rather than copied.
    static constexpr size_t kLendFrom = 256;

    explicit WriteBuffer(size_t capacity);

    size_t size() const { return size_; }
    size_t room() const { return capacity_ - size_; }

    // Add a piece, first writing out what is buffered when it does not fit;
    // a piece as large as the buffer is written at once. `write` lends,
    // `write_copy` copies.
    // A small piece that fits, as most are (a record header, a short frame),
    // is copied inline.
    // Inlined whatever the caller: they run for every packet.
    [[gnu::always_inline]] Status<> write(int fd, const uint8_t* data, size_t size) {
        if (size < kLendFrom && size <= room()) return copy(data, size), Status<>();
        return put(fd, data, size, true);
    }
    [[gnu::always_inline]] Status<> write_copy(int fd, const uint8_t* data, size_t size) {
        if (size <= room()) return copy(data, size), Status<>();
        return put(fd, data, size, false);
    }
    // Writes every buffered byte and empties the buffer, even on failure.
    Status<> flush(int fd);
    // Forgets what is buffered.
    void clear();

private:
    Status<> put(int fd, const uint8_t* data, size_t size, bool lendable);
    // Add a piece that fits: `lend` copies it when small.
    void lend(const uint8_t* data, size_t size);
    void copy(const uint8_t* data, size_t size) {
        if (!size) return;  // an empty frame may have no address
        uint8_t* at = copies_.get() + copied_;
        std::memcpy(at, data, size);
        copied_ += size;
        append(at, size);
    }
    bool extends_last(const uint8_t* data) const {
        return !pieces_.empty() &&
               static_cast<const uint8_t*>(pieces_.back().iov_base) + pieces_.back().iov_len == data;
    }
    void append(const uint8_t* data, size_t size) {
        if (extends_last(data)) pieces_.back().iov_len += size;
        else pieces_.push_back({const_cast<uint8_t*>(data), size});
        size_ += size;
    }

    size_t capacity_;
    size_t size_ = 0;
    std::unique_ptr<uint8_t[]> copies_;  // copied pieces, in order; capacity bytes, touched as used
    size_t copied_ = 0;
    std::vector<iovec> pieces_;
};

}  // namespace flowsieve
