// The one bounds-checked way to read input bytes. Every header field of a
// capture or a frame is read through a ByteView, so no input can make a
// read leave the buffer: an out-of-range read yields std::nullopt.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace flowsieve {

enum class ByteOrder { Little, Big };

inline uint16_t decode_u16(const uint8_t* p, ByteOrder order) {
    return order == ByteOrder::Big ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

inline uint32_t decode_u32(const uint8_t* p, ByteOrder order) {
    if (order == ByteOrder::Big)
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// Output bytes are written in one store where the machine is little-endian:
// the compiler does not always merge the byte stores, and records are
// written for every packet.
inline void encode_u32le(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 4);
    } else {
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v >> 16);
        p[3] = uint8_t(v >> 24);
    }
}

inline uint64_t decode_u64le(const uint8_t* p) {
    return uint64_t(decode_u32(p + 4, ByteOrder::Little)) << 32 | decode_u32(p, ByteOrder::Little);
}

inline void encode_u64le(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 8);
    } else {
        encode_u32le(p, uint32_t(v));
        encode_u32le(p + 4, uint32_t(v >> 32));
    }
}

inline void encode_u16le(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

class ByteView {
public:
    ByteView() = default;
    ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // True when [offset, offset + count) lies inside the view; overflow-safe.
    bool has(size_t offset, size_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }

    std::optional<uint8_t> u8(size_t offset) const {
        if (!has(offset, 1)) return std::nullopt;
        return data_[offset];
    }
    std::optional<uint16_t> u16(size_t offset, ByteOrder order) const {
        if (!has(offset, 2)) return std::nullopt;
        return decode_u16(data_ + offset, order);
    }
    std::optional<uint32_t> u32(size_t offset, ByteOrder order) const {
        if (!has(offset, 4)) return std::nullopt;
        return decode_u32(data_ + offset, order);
    }
    std::optional<uint64_t> u64le(size_t offset) const {
        if (!has(offset, 8)) return std::nullopt;
        return decode_u64le(data_ + offset);
    }
    std::optional<uint16_t> u16be(size_t offset) const { return u16(offset, ByteOrder::Big); }

    // Copies count bytes into out; false when they are not all inside.
    bool copy(size_t offset, size_t count, uint8_t* out) const;

    // The sub-view [offset, offset + count), or nullopt when out of range.
    std::optional<ByteView> sub(size_t offset, size_t count) const {
        if (!has(offset, count)) return std::nullopt;
        return ByteView(data_ + offset, count);
    }
    // Everything from offset to the end (empty at the end), or nullopt past it.
    std::optional<ByteView> from(size_t offset) const {
        if (offset > size_) return std::nullopt;
        return ByteView(data_ + offset, size_ - offset);
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

inline bool ByteView::copy(size_t offset, size_t count, uint8_t* out) const {
    if (!has(offset, count)) return false;
    for (size_t i = 0; i < count; ++i) out[i] = data_[offset + i];
    return true;
}

}  // namespace flowsieve
