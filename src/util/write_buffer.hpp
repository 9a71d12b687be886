// The write buffer of one output file. It writes `capacity` bytes at a time,
// exactly as a plain buffer would, but it does not copy large pieces: it
// keeps their addresses and the kernel takes them from where they lie when
// the buffer is written out, so a lent piece must stay valid until then.
// Small pieces are copied, which keeps the pieces per write few.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
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
    Status<> write(int fd, const uint8_t* data, size_t size) { return put(fd, data, size, true); }
    Status<> write_copy(int fd, const uint8_t* data, size_t size) { return put(fd, data, size, false); }
    // Writes every buffered byte and empties the buffer, even on failure.
    Status<> flush(int fd);
    // Forgets what is buffered.
    void clear();

private:
    Status<> put(int fd, const uint8_t* data, size_t size, bool lendable);
    // Add a piece that fits: `lend` copies it when small.
    void lend(const uint8_t* data, size_t size);
    void copy(const uint8_t* data, size_t size);
    bool extends_last(const uint8_t* data) const;
    void append(const uint8_t* data, size_t size);

    size_t capacity_;
    size_t size_ = 0;
    std::unique_ptr<uint8_t[]> copies_;  // copied pieces, in order; capacity bytes, touched as used
    size_t copied_ = 0;
    std::vector<iovec> pieces_;
};

}  // namespace flowsieve
