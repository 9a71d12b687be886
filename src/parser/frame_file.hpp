// How frames are written back out as a capture file, so that each keeps its
// bytes, its time at the precision it was captured with, and its link type:
// classic pcap (the microsecond or the nanosecond magic) when the frames
// share one link type, pcapng with one interface per link type otherwise.
// A capture of one link type in microseconds, with a snap length of at most
// 65535, is written as before such captures had a choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "packet/packet.hpp"
#include "parser/pcap_format.hpp"
#include "parser/pcapng_format.hpp"

namespace flowsieve {

struct FrameFileFormat {
    // Distinct, in the order the input names them; the first is a classic
    // pcap file's, and a pcapng interface's number is its place here.
    std::vector<uint32_t> link_types{1};
    uint32_t snap_length = kPcapWrittenSnapLength;
    bool nanoseconds = false;
    // In a pcapng file in nanoseconds, the link types whose frames all came
    // from interfaces in microseconds: their interfaces keep microseconds,
    // whose 64-bit times reach past what nanoseconds count (the year 2554).
    std::vector<uint32_t> microsecond_link_types;

    static constexpr size_t kMaxRecordHead = kPcapNgEnhancedHeaderSize;
    static constexpr size_t kMaxRecordTail = 3 + kPcapNgBlockTrailerSize;

    bool operator==(const FrameFileFormat&) const = default;
    bool pcapng() const { return link_types.size() > 1; }
    const char* extension() const { return pcapng() ? ".pcapng" : ".pcap"; }
    // Takes in the frames of another input: its link types, the larger snap
    // length and the finer precision (of each link type).
    void add(const FrameFileFormat& other);
    // Whether a pcapng interface of the link type counts nanoseconds.
    bool nanoseconds_of(uint32_t link_type) const;

    // Everything before the first record.
    std::vector<uint8_t> file_header() const;

    // The bytes before a frame of `incl_len` bytes; their number.
    size_t record_head(uint8_t out[kMaxRecordHead], const FrameTime& time, uint32_t incl_len, uint32_t orig_len,
                       uint32_t link_type) const {
        if (!pcapng()) {
            uint32_t sec = time.sec;
            uint32_t fraction = time.usec;
            if (nanoseconds) {
                // Microseconds of a damaged capture past 32 bits as nanoseconds
                // carry their whole seconds; any other fraction stays as stated.
                const uint64_t nsec = time.nsec();
                if (nsec > UINT32_MAX) sec += uint32_t(nsec / 1000000000);
                fraction = uint32_t(nsec > UINT32_MAX ? nsec % 1000000000 : nsec);
            }
            encode_pcap_record_header(out, sec, fraction, incl_len, orig_len);
            return kPcapRecordHeaderSize;
        }
        return enhanced_head(out, time, incl_len, orig_len, link_type);
    }
    // The bytes after it (a pcapng block's padding and trailing length); their number.
    size_t record_tail(uint8_t out[kMaxRecordTail], uint32_t incl_len) const {
        return pcapng() ? enhanced_tail(out, incl_len) : 0;
    }
    uint64_t record_size(uint32_t incl_len) const {
        return pcapng() ? kPcapNgEnhancedHeaderSize + pcapng_padded(incl_len) + kPcapNgBlockTrailerSize
                        : kPcapRecordHeaderSize + uint64_t(incl_len);
    }

private:
    size_t enhanced_head(uint8_t* out, const FrameTime& time, uint32_t incl_len, uint32_t orig_len,
                         uint32_t link_type) const;
    size_t enhanced_tail(uint8_t* out, uint32_t incl_len) const;
};

}  // namespace flowsieve
