// Immutable bytes over reference-counted storage (a read-only mapping or a
// heap block). Sub-ranges share the storage without copying; the count is
// atomic because packets travel between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "util/byte_view.hpp"
#include "util/call.hpp"
#include "util/progress.hpp"
#include "util/result.hpp"

namespace flowsieve {

class SharedBytes {
public:
    SharedBytes() = default;
    SharedBytes(std::shared_ptr<const void> storage, const uint8_t* data, size_t size)
        : storage_(size ? std::move(storage) : nullptr), data_(size ? data : nullptr), size_(size) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    ByteView view() const { return ByteView(data_, size_); }

    // [offset, offset + count) of this range; the caller has checked bounds
    // through view(). An empty sub-range holds no reference to the storage.
    SharedBytes slice(size_t offset, size_t count) const {
        if (count == 0) return SharedBytes();
        return SharedBytes(storage_, data_ + offset, count);
    }

    // As slice, without a reference to the storage: valid only while
    // another SharedBytes keeps it alive. Reading frames so spares the count,
    // which the threads that read and write them would otherwise touch per
    // packet.
    SharedBytes borrowed_slice(size_t offset, size_t count) const {
        SharedBytes b;
        if (count) {
            b.data_ = data_ + offset;
            b.size_ = count;
        }
        return b;
    }

    // The bytes in storage of their own, for a frame that must outlive what
    // it was read from.
    static SharedBytes copy_of(ByteView bytes) {
        if (bytes.size() == 0) return SharedBytes();
        auto storage = std::make_shared_for_overwrite<uint8_t[]>(bytes.size());
        std::memcpy(storage.get(), bytes.data(), bytes.size());
        return SharedBytes(storage, storage.get(), bytes.size());
    }

    // Whether this range keeps storage alive (for tests of the empty rule).
    bool holds_storage() const { return storage_ != nullptr; }

private:
    std::shared_ptr<const void> storage_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Maps a capture file read-only, or reads all of standard input for "-".
// Fails with an IOError. While standard input is read, the observer hears of
// every few megabytes and of every interrupted read, and may stop the read
// (an Interrupted error). When `recognised` refuses its first four bytes,
// standard input is read no further: the bytes so far are the input.
Result<SharedBytes, CallError> map_input(const std::string& path, ProgressObserver* observer = nullptr,
                                         bool (*recognised)(ByteView start) = nullptr);

}  // namespace flowsieve
