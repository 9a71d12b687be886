// SHA-1 (FIPS 180-4), for flow hashes that other tools compute the same way;
// not for anything that needs a secure hash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace flowsieve {

class Sha1 {
public:
    using Digest = std::array<uint8_t, 20>;

    Sha1();
    void update(const uint8_t* data, size_t size);
    // Pads and returns the digest; the object is spent afterwards.
    Digest finish();

private:
    void block(const uint8_t* p);

    uint32_t state_[5];
    uint8_t pending_[64];
    size_t pending_size_ = 0;
    uint64_t total_ = 0;  // bytes
};

}  // namespace flowsieve
