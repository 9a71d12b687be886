// Move-only owner of a read-only memory mapping.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace flowsieve {

class Mapping {
public:
    Mapping() = default;
    Mapping(void* addr, size_t length) : addr_(addr), length_(length) {}
    Mapping(Mapping&& o) noexcept : addr_(std::exchange(o.addr_, nullptr)), length_(std::exchange(o.length_, 0)) {}
    Mapping& operator=(Mapping&& o) noexcept {
        if (this != &o) {
            reset();
            addr_ = std::exchange(o.addr_, nullptr);
            length_ = std::exchange(o.length_, 0);
        }
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { reset(); }

    const uint8_t* data() const { return static_cast<const uint8_t*>(addr_); }
    size_t size() const { return length_; }

    // Lets the pages wholly inside [at, at + length) of the mapping go from
    // memory; touched again, they are read from the file. A hint only.
    void release(const uint8_t* at, size_t length) const {
        const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
        const uintptr_t begin = (uintptr_t(at) + page - 1) / page * page, end = (uintptr_t(at) + length) / page * page;
        if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    }

private:
    void reset() {
        if (addr_) ::munmap(addr_, length_);
        addr_ = nullptr;
    }

    void* addr_ = nullptr;
    size_t length_ = 0;
};

}  // namespace flowsieve
