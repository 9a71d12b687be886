#include "parser/frame_file.hpp"

#include <algorithm>

#include "util/byte_view.hpp"

namespace flowsieve {
namespace {

constexpr uint64_t kNanosPerSecond = 1000000000;
constexpr uint64_t kMicrosPerSecond = 1000000;
constexpr uint8_t kTsresolNanoseconds = 9;

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    const size_t at = out.size();
    out.resize(at + 2);
    encode_u16le(out.data() + at, v);
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    const size_t at = out.size();
    out.resize(at + 4);
    encode_u32le(out.data() + at, v);
}

// A block around the body that `fill` appends, its lengths filled in.
template <class Fill>
void put_block(std::vector<uint8_t>& out, uint32_t type, Fill fill) {
    const size_t start = out.size();
    put_u32(out, type);
    put_u32(out, 0);
    fill();
    out.resize(start + kPcapNgBlockHeaderSize + pcapng_padded(out.size() - start - kPcapNgBlockHeaderSize));
    const uint32_t total = uint32_t(out.size() - start + kPcapNgBlockTrailerSize);
    encode_u32le(out.data() + start + 4, total);
    put_u32(out, total);
}

}  // namespace

void FrameFileFormat::add(const FrameFileFormat& other) {
    // Microseconds stay where neither side has frames of the link type in nanoseconds.
    const auto counts_nanoseconds = [](const FrameFileFormat& f, uint32_t t) {
        return f.nanoseconds_of(t) && std::find(f.link_types.begin(), f.link_types.end(), t) != f.link_types.end();
    };
    std::vector<uint32_t> microseconds;
    for (const FrameFileFormat* f : {static_cast<const FrameFileFormat*>(this), &other})
        for (uint32_t t : f->link_types)
            if (!counts_nanoseconds(*this, t) && !counts_nanoseconds(other, t) &&
                std::find(microseconds.begin(), microseconds.end(), t) == microseconds.end())
                microseconds.push_back(t);
    for (uint32_t t : other.link_types)
        if (std::find(link_types.begin(), link_types.end(), t) == link_types.end()) link_types.push_back(t);
    snap_length = std::max(snap_length, other.snap_length);
    nanoseconds = nanoseconds || other.nanoseconds;
    microsecond_link_types = nanoseconds ? std::move(microseconds) : std::vector<uint32_t>{};
}

bool FrameFileFormat::nanoseconds_of(uint32_t link_type) const {
    return nanoseconds && std::find(microsecond_link_types.begin(), microsecond_link_types.end(), link_type) ==
                              microsecond_link_types.end();
}

std::vector<uint8_t> FrameFileFormat::file_header() const {
    std::vector<uint8_t> out;
    if (!pcapng()) {
        out.resize(kPcapGlobalHeaderSize);
        encode_pcap_global_header(out.data(), link_types.front(), snap_length, nanoseconds);
        return out;
    }
    put_block(out, kPcapNgSectionHeader, [&] {
        put_u32(out, kPcapNgByteOrderMagic);
        put_u16(out, 1);  // version 1.0
        put_u16(out, 0);
        put_u32(out, 0xFFFFFFFF);  // section length not given
        put_u32(out, 0xFFFFFFFF);
    });
    for (uint32_t link_type : link_types)
        put_block(out, kPcapNgInterfaceDescription, [&] {
            put_u16(out, uint16_t(link_type));
            put_u16(out, 0);
            put_u32(out, snap_length);
            if (nanoseconds_of(link_type)) {
                put_u16(out, kPcapNgOptionTsresol);
                put_u16(out, 1);
                out.insert(out.end(), {kTsresolNanoseconds, 0, 0, 0});
                put_u32(out, kPcapNgOptionEnd);  // code and length 0
            }
        });
    return out;
}

size_t FrameFileFormat::enhanced_head(uint8_t* out, const FrameTime& time, uint32_t incl_len, uint32_t orig_len,
                                      uint32_t link_type) const {
    // A frame of a link type not listed (none is, in a file made for its
    // input) goes to the first interface.
    auto found = std::find(link_types.begin(), link_types.end(), link_type);
    const uint32_t interface = found == link_types.end() ? 0 : uint32_t(found - link_types.begin());
    // The interface of a link type in nanoseconds holds times up to the year 2554; one in microseconds all of
    // a pcapng interface's.
    const uint64_t seconds = time.whole_seconds();
    const uint64_t ticks = nanoseconds_of(link_types[interface]) ? seconds * kNanosPerSecond + time.nsec()
                                                                  : seconds * kMicrosPerSecond + time.usec;
    encode_u32le(out, kPcapNgEnhancedPacket);
    encode_u32le(out + 4, uint32_t(record_size(incl_len)));
    encode_u32le(out + 8, interface);
    encode_u32le(out + 12, uint32_t(ticks >> 32));
    encode_u32le(out + 16, uint32_t(ticks));
    encode_u32le(out + 20, incl_len);
    encode_u32le(out + 24, orig_len);
    return kPcapNgEnhancedHeaderSize;
}

size_t FrameFileFormat::enhanced_tail(uint8_t* out, uint32_t incl_len) const {
    const size_t padding = size_t(pcapng_padded(incl_len) - incl_len);
    std::fill(out, out + padding, 0);
    encode_u32le(out + padding, uint32_t(record_size(incl_len)));
    return padding + kPcapNgBlockTrailerSize;
}

}  // namespace flowsieve
