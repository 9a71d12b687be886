#include "parser/pcapng.hpp"

#include <cstdio>

namespace flowsieve {
namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;

constexpr uint32_t kMagicLittle = 0x1A2B3C4D;  // bytes 4D 3C 2B 1A
constexpr uint32_t kMagicBig = 0x4D3C2B1A;     // bytes 1A 2B 3C 4D

constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTsresol = 9;

constexpr uint64_t kMicrosPerSecond = 1000000;
// 10^19 is the largest power of ten that fits in 64 bits.
constexpr uint8_t kMaxDecimalExponent = 19;

uint64_t round_up4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// Block type and total length at the start of a block.
struct BlockHeader {
    uint32_t type;
    uint32_t total_length;
};

// The byte order a Section Header Block states, if its magic is readable
// and known.
std::optional<ByteOrder> section_order(ByteView block) {
    auto magic = block.u32(8, ByteOrder::Little);
    if (magic == kMagicLittle) return ByteOrder::Little;
    if (magic == kMagicBig) return ByteOrder::Big;
    return std::nullopt;
}

BlockHeader read_header(ByteView at, ByteOrder order) {
    BlockHeader h{*at.u32(0, order), 0};
    // A section header's own length is read in the order its magic shows.
    if (h.type == kSectionHeader) order = section_order(at).value_or(ByteOrder::Little);
    h.total_length = *at.u32(4, order);
    return h;
}

InterfaceInfo read_interface(ByteView block, ByteOrder order) {
    InterfaceInfo info;
    info.link_type = *block.u16(8, order);
    const size_t options_end = block.size() - 4;  // before the trailing length
    size_t at = 16;
    while (at + 4 <= options_end) {
        uint16_t code = *block.u16(at, order);
        uint16_t length = *block.u16(at + 2, order);
        if (code == kOptionEnd || at + 4 + length > options_end) break;
        if (code == kOptionTsresol && length > 0) {
            uint8_t v = *block.u8(at + 4);
            // A power-of-two resolution, or a power of ten beyond 64 bits,
            // leaves the resolution as it was.
            if (!(v & 0x80) && v <= kMaxDecimalExponent) {
                uint64_t ticks = 1;
                for (uint8_t i = 0; i < v; ++i) ticks *= 10;
                info.ticks_per_second = ticks;
            }
        }
        at += 4 + round_up4(length);
    }
    return info;
}

}  // namespace

Result<std::unique_ptr<PcapNgReader>, CaptureError> PcapNgReader::open(SharedBytes input) {
    std::unique_ptr<PcapNgReader> reader(new PcapNgReader(std::move(input)));
    ByteView v = reader->input_.view();
    uint64_t at = 0;
    for (;;) {
        auto rest = v.from(at);
        if (!rest || rest->size() < 8) break;
        BlockHeader h = read_header(*rest, reader->order_);
        if (h.total_length < 12 || h.total_length > rest->size()) {
            at += 8;
            break;
        }
        ByteView block = *rest->sub(0, h.total_length);
        if (h.type == kSectionHeader) {
            if (h.total_length < 16) return CaptureError::pcapng("SHB too short");
            auto order = section_order(block);
            if (!order) {
                char text[64];
                std::snprintf(text, sizeof text, "Unknown byte order magic: 0x%08X",
                              *block.u32(8, ByteOrder::Little));
                return CaptureError::pcapng(text);
            }
            reader->order_ = *order;
        } else if (h.type == kInterfaceDescription) {
            if (h.total_length < 20) return CaptureError::pcapng("IDB too short");
            reader->interfaces_.push_back(read_interface(block, reader->order_));
        } else if (h.type == kEnhancedPacket || h.type == kSimplePacket) {
            break;
        }
        at = round_up4(at + h.total_length);
    }
    reader->position_ = at;
    return reader;
}

uint32_t PcapNgReader::link_type() const {
    return interfaces_.empty() ? 1 : interfaces_.front().link_type;
}

NextPacket PcapNgReader::next_packet() {
    ByteView v = input_.view();
    for (;;) {
        auto rest = v.from(position_);
        if (!rest || rest->size() == 0) return EndOfCapture{};
        if (rest->size() < 8) return EndOfCapture{position_};  // a block header cut short
        uint32_t type = *rest->u32(0, order_);
        uint32_t total_length = *rest->u32(4, order_);
        if (total_length < 12) return EndOfCapture{};
        if (total_length > rest->size()) return EndOfCapture{position_};  // a block cut short
        ByteView block = *rest->sub(0, total_length);
        if (type == kEnhancedPacket) return read_enhanced(block);
        if (type == kSimplePacket) return read_simple(block);
        position_ = round_up4(position_ + total_length);
    }
}

NextPacket PcapNgReader::read_enhanced(ByteView block) {
    if (block.size() < 32) return CaptureError::pcapng("EPB too short");
    uint32_t interface_id = *block.u32(8, order_);
    uint64_t ticks = uint64_t(*block.u32(12, order_)) << 32 | *block.u32(16, order_);
    uint32_t captured = *block.u32(20, order_);
    uint32_t original = *block.u32(24, order_);
    if (28 + uint64_t(captured) > block.size() - 4) return CaptureError::pcapng("EPB packet data exceeds block");
    SharedBytes frame = input_.slice(position_ + 28, captured);
    position_ += block.size();

    InterfaceInfo info;  // an unknown interface reads as Ethernet in microseconds
    if (interface_id < interfaces_.size()) info = interfaces_[interface_id];
    const uint64_t tps = info.ticks_per_second;
    uint32_t seconds = uint32_t(ticks / tps);
    uint64_t rem = ticks % tps;
    uint32_t micros = uint32_t(tps < kMicrosPerSecond ? rem * kMicrosPerSecond / tps
                                                      : rem / (tps / kMicrosPerSecond));
    return dissect_frame(seconds, micros, original, std::move(frame), info.link_type);
}

NextPacket PcapNgReader::read_simple(ByteView block) {
    if (block.size() < 16) return CaptureError::pcapng("SPB too short");
    uint32_t original = *block.u32(8, order_);
    // Everything after the length field up to the trailer, padding included.
    // A block of exactly 16 bytes is a packet with no captured bytes.
    SharedBytes frame = input_.slice(position_ + 12, block.size() - 16);
    position_ += block.size();
    return dissect_frame(0, 0, original, std::move(frame), 1);
}

}  // namespace flowsieve
