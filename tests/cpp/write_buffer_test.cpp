// The write buffer lends large pieces and copies small ones; whatever the
// mix, the file must get exactly the bytes handed to it, in order.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "util/write_buffer.hpp"

namespace {

using flowsieve::WriteBuffer;

std::vector<uint8_t> read_back(int fd) {
    std::vector<uint8_t> bytes(size_t(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    return bytes;
}

struct Mix {
    size_t capacity;
    std::vector<size_t> sizes;  // piece sizes drawn from
    size_t pieces;
};

class WriteBufferTest : public ::testing::TestWithParam<Mix> {};

TEST_P(WriteBufferTest, FileGetsEveryByteInOrder) {
    const Mix& mix = GetParam();
    std::mt19937 random(7);
    std::vector<std::vector<uint8_t>> pieces;  // lent pieces stay valid until the last flush
    std::vector<uint8_t> expected;
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int fd = ::fileno(file);
    WriteBuffer buffer(mix.capacity);
    for (size_t i = 0; i < mix.pieces; ++i) {
        std::vector<uint8_t>& piece = pieces.emplace_back(mix.sizes[random() % mix.sizes.size()]);
        for (uint8_t& b : piece) b = uint8_t(random());
        expected.insert(expected.end(), piece.begin(), piece.end());
        if (random() % 3 == 0) {
            // a copied piece may be overwritten as soon as it is handed over
            ASSERT_TRUE(buffer.write_copy(fd, piece.data(), piece.size()).ok());
            std::fill(piece.begin(), piece.end(), 0xEE);
        } else {
            ASSERT_TRUE(buffer.write(fd, piece.data(), piece.size()).ok());
        }
        ASSERT_LE(buffer.size(), mix.capacity);
    }
    ASSERT_TRUE(buffer.flush(fd).ok());
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(read_back(fd), expected);
    std::fclose(file);
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, WriteBufferTest,
    ::testing::Values(Mix{7, {0, 1, 6, 7, 8, 300}, 500},                  // pieces around a tiny capacity
                      Mix{10000, {0, 16, 60, 255, 256, 1514, 9999, 10000, 20000}, 3000},
                      Mix{1 << 20, {256, 257}, 20000},                   // more lent pieces than one writev takes
                      Mix{1 << 20, {1, 300}, 20000}));

TEST(WriteBufferTest, FailedFlushEmptiesTheBuffer) {
    WriteBuffer buffer(100);
    const std::vector<uint8_t> piece(50, 1);
    ASSERT_TRUE(buffer.write(-1, piece.data(), piece.size()).ok());
    EXPECT_FALSE(buffer.flush(-1).ok());
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.room(), 100u);
}

}  // namespace
