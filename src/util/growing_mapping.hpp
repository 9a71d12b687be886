// Move-only owner of an anonymous writable mapping that grows without
// copying its bytes (the kernel moves the pages) and gives its start back a
// page at a time once a reader is done with it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

namespace flowsieve {

// A refused allocation that says how many bytes were asked for: a
// std::bad_alloc, as a container would throw.
class AllocationRefused : public std::bad_alloc {
public:
    explicit AllocationRefused(size_t bytes) {
        std::snprintf(text_, sizeof text_, "out of memory: %zu bytes could not be allocated", bytes);
    }
    const char* what() const noexcept override { return text_; }

private:
    char text_[72];
};

class GrowingMapping {
public:
    GrowingMapping() = default;
    GrowingMapping(GrowingMapping&& o) noexcept
        : base_(std::exchange(o.base_, nullptr)), length_(std::exchange(o.length_, 0)),
          released_(std::exchange(o.released_, 0)) {}
    GrowingMapping& operator=(GrowingMapping&& o) noexcept {
        if (this != &o) {
            reset();
            base_ = std::exchange(o.base_, nullptr);
            length_ = std::exchange(o.length_, 0);
            released_ = std::exchange(o.released_, 0);
        }
        return *this;
    }
    GrowingMapping(const GrowingMapping&) = delete;
    GrowingMapping& operator=(const GrowingMapping&) = delete;
    ~GrowingMapping() { reset(); }

    uint8_t* data() const { return base_; }
    size_t capacity() const { return length_; }

    // Room for at least `size` bytes, new bytes zero; AllocationRefused
    // when the system refuses. Not after release_below.
    void reserve(size_t size) {
        if (size <= length_) return;
        const size_t page = size_t(::sysconf(_SC_PAGESIZE));
        const size_t length = (size + page - 1) / page * page;
        void* p = base_ ? ::mremap(base_, length_, length, MREMAP_MAYMOVE)
                        : ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw AllocationRefused(size);
        base_ = static_cast<uint8_t*>(p);
        length_ = length;
    }

    // Gives back the whole pages below `offset`; those bytes are not read again.
    void release_below(size_t offset) {
        const size_t page = size_t(::sysconf(_SC_PAGESIZE));
        const size_t end = std::min(offset, length_) / page * page;
        if (end > released_) {
            ::munmap(base_ + released_, end - released_);
            released_ = end;
        }
    }

private:
    void reset() {
        if (base_ && length_ > released_) ::munmap(base_ + released_, length_ - released_);
        base_ = nullptr;
        length_ = released_ = 0;
    }

    uint8_t* base_ = nullptr;
    size_t length_ = 0;
    size_t released_ = 0;  // the start given back, whole pages
};

}  // namespace flowsieve
