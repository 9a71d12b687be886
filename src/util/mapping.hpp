// Move-only owner of a read-only memory mapping.
#pragma once

#include <sys/mman.h>

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

private:
    void reset() {
        if (addr_) ::munmap(addr_, length_);
        addr_ = nullptr;
    }

    void* addr_ = nullptr;
    size_t length_ = 0;
};

}  // namespace flowsieve
