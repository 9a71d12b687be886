// SHA-1 against published digests, at the lengths where padding spills
// into a second block, and fed in pieces that straddle blocks.
#include <gtest/gtest.h>

#include <string>

#include "util/sha1.hpp"

namespace flowsieve {
namespace {

std::string hex(const Sha1::Digest& d) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : d) out += {kHex[b >> 4], kHex[b & 15]};
    return out;
}

struct Vector {
    std::string message;
    const char* digest;
};

class Sha1Vectors : public testing::TestWithParam<Vector> {};

TEST_P(Sha1Vectors, WholeAndInPieces) {
    const std::string& m = GetParam().message;
    const auto* bytes = reinterpret_cast<const uint8_t*>(m.data());
    Sha1 whole;
    whole.update(bytes, m.size());
    EXPECT_EQ(hex(whole.finish()), GetParam().digest);
    Sha1 pieces;
    for (size_t i = 0; i < m.size(); i += 7) pieces.update(bytes + i, std::min<size_t>(7, m.size() - i));
    EXPECT_EQ(hex(pieces.finish()), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Published, Sha1Vectors,
    testing::Values(Vector{"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                    Vector{"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
                    Vector{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                           "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
                    Vector{std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
                    Vector{std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
                    Vector{std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
                    Vector{std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}));

}  // namespace
}  // namespace flowsieve
