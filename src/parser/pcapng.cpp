#include "parser/pcapng.hpp"

#include <cstdio>

namespace flowsieve {
namespace {

constexpr uint32_t kSectionHeader = kPcapNgSectionHeader;
constexpr uint32_t kInterfaceDescription = kPcapNgInterfaceDescription;
constexpr uint32_t kSimplePacket = kPcapNgSimplePacket;
constexpr uint32_t kEnhancedPacket = kPcapNgEnhancedPacket;

constexpr uint32_t kMagicLittle = kPcapNgByteOrderMagic;  // bytes 4D 3C 2B 1A
constexpr uint32_t kMagicBig = 0x4D3C2B1A;               // bytes 1A 2B 3C 4D

constexpr uint64_t kMicrosPerSecond = 1000000;
constexpr uint64_t kNanosPerSecond = 1000000000;
// 10^19 and 2^63 are the largest powers that fit in 64 bits.
constexpr uint8_t kMaxDecimalExponent = 19;
constexpr uint8_t kMaxBinaryExponent = 63;

uint64_t round_up4(uint64_t n) { return pcapng_padded(n); }

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

// Whether microseconds cannot hold the interface's times.
bool needs_nanoseconds(const InterfaceInfo& i) {
    return i.ticks_per_second > kMicrosPerSecond || kMicrosPerSecond % i.ticks_per_second != 0;
}

InterfaceInfo read_interface(ByteView block, ByteOrder order) {
    InterfaceInfo info;
    info.link_type = *block.u16(8, order);
    info.snap_length = *block.u32(12, order);
    const size_t options_end = block.size() - 4;  // before the trailing length
    size_t at = 16;
    while (at + 4 <= options_end) {
        uint16_t code = *block.u16(at, order);
        uint16_t length = *block.u16(at + 2, order);
        if (code == kPcapNgOptionEnd || at + 4 + length > options_end) break;
        if (code == kPcapNgOptionTsresol && length > 0) {
            const uint8_t v = *block.u8(at + 4);
            const uint8_t exponent = v & ~kPcapNgTsresolBinary;
            // A power beyond 64 bits leaves the resolution as it was.
            if (v & kPcapNgTsresolBinary) {
                if (exponent <= kMaxBinaryExponent) info.ticks_per_second = uint64_t(1) << exponent;
            } else if (exponent <= kMaxDecimalExponent) {
                uint64_t ticks = 1;
                for (uint8_t i = 0; i < exponent; ++i) ticks *= 10;
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
    reader->describe_output();
    return reader;
}

// Outputs keep every frame's link type, the finest resolution of any
// interface and the largest snap length. A resolution that is not a power of
// ten is kept in nanoseconds: microseconds cannot hold it.
void PcapNgReader::describe_output() {
    if (interfaces_.empty()) return;
    format_.link_types.clear();
    uint32_t snap_length = kPcapWrittenSnapLength;
    for (const InterfaceInfo& i : interfaces_) {
        if (std::find(format_.link_types.begin(), format_.link_types.end(), i.link_type) == format_.link_types.end())
            format_.link_types.push_back(i.link_type);
        snap_length = std::max(snap_length, written_snap_length(i.snap_length));
        format_.nanoseconds = format_.nanoseconds || needs_nanoseconds(i);
    }
    format_.snap_length = snap_length;
    if (!format_.nanoseconds) return;
    for (uint32_t link_type : format_.link_types)
        if (std::none_of(interfaces_.begin(), interfaces_.end(),
                         [&](const InterfaceInfo& i) { return i.link_type == link_type && needs_nanoseconds(i); }))
            format_.microsecond_link_types.push_back(link_type);
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
    SharedBytes frame = frame_of(input_, position_ + 28, captured);
    position_ += block.size();
    prefetch_record(input_.view(), position_);

    InterfaceInfo info;  // an unknown interface reads as Ethernet in microseconds
    if (interface_id < interfaces_.size()) info = interfaces_[interface_id];
    const uint64_t tps = info.ticks_per_second;
    FrameTime time;
    time.sec = uint32_t(ticks / tps);
    time.sec_high = uint16_t(ticks / tps >> 32);  // whole for 2^16 ticks a second or more
    const uint64_t rem = ticks % tps;
    // Rounded down: a binary resolution's ticks rarely end on a nanosecond.
    const uint32_t nsec = uint32_t((unsigned __int128)rem * kNanosPerSecond / tps);
    time.usec = uint32_t(tps < kMicrosPerSecond ? rem * kMicrosPerSecond / tps : nsec / 1000);
    time.nsec_rest = uint16_t(nsec - time.usec * 1000);
    return packet_of(time, original, std::move(frame), info.link_type);
}

NextPacket PcapNgReader::read_simple(ByteView block) {
    if (block.size() < 16) return CaptureError::pcapng("SPB too short");
    uint32_t original = *block.u32(8, order_);
    // Everything after the length field up to the trailer, padding included.
    // A block of exactly 16 bytes is a packet with no captured bytes.
    SharedBytes frame = frame_of(input_, position_ + 12, block.size() - 16);
    position_ += block.size();
    prefetch_record(input_.view(), position_);
    return packet_of(FrameTime{}, original, std::move(frame), 1);
}

}  // namespace flowsieve
