#include "util/sha1.hpp"

#include <algorithm>
#include <cstring>

#include "util/byte_view.hpp"

namespace flowsieve {
namespace {

uint32_t rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }

}  // namespace

Sha1::Sha1() : state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::block(const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = decode_u32(p + 4 * i, ByteOrder::Big);
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
        else f = b ^ c ^ d, k = 0xCA62C1D6;
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
}

void Sha1::update(const uint8_t* data, size_t size) {
    total_ += size;
    while (size > 0) {
        const size_t n = std::min(size, sizeof pending_ - pending_size_);
        std::memcpy(pending_ + pending_size_, data, n);
        pending_size_ += n;
        data += n;
        size -= n;
        if (pending_size_ == sizeof pending_) {
            block(pending_);
            pending_size_ = 0;
        }
    }
}

Sha1::Digest Sha1::finish() {
    const uint64_t bits = total_ * 8;
    static constexpr uint8_t kPad[64] = {0x80};
    // One 0x80 byte, zeros up to 56 bytes into a block, then the bit length.
    update(kPad, 1 + (119 - pending_size_) % 64);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = uint8_t(bits >> (56 - 8 * i));
    update(length, sizeof length);
    Digest out;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j) out[4 * i + j] = uint8_t(state_[i] >> (24 - 8 * j));
    return out;
}

}  // namespace flowsieve
