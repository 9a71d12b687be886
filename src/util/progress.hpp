// Progress of a long operation, reported to an optional observer that can
// ask the operation to stop.
#pragma once

#include <cstdint>

namespace flowsieve {

struct Progress {
    uint64_t bytes_read = 0;  // of the input
    uint64_t input_size = 0;
    uint64_t packets = 0;     // read from the capture
    uint64_t flows = 0;
    // Of the packets the filters kept: later IP fragments given their
    // datagram's ports, those whose first fragment never came, and all the
    // kept packets; counted once all packets are in.
    uint64_t fragments_matched = 0;
    uint64_t fragments_unmatched = 0;
    uint64_t packets_kept = 0;
};

class ProgressObserver {
public:
    virtual ~ProgressObserver() = default;
    // Called every few thousand packets or megabytes, and once when all
    // packets are in. Returning false stops the operation, which then fails
    // with an Interrupted error and leaves its files as any failure does.
    virtual bool keep_going(const Progress& progress) = 0;
};

// Counts packets and input bytes and tells when the next report is due, so
// that a report costs one comparison per packet.
class ProgressClock {
public:
    static constexpr uint64_t kPackets = 1024;
    static constexpr uint64_t kBytes = 4 << 20;

    bool tick(uint64_t bytes, uint64_t packets = 1) {
        packets_ += packets;
        bytes_ += bytes;
        if (packets_ < next_packets_ && bytes_ < next_bytes_) return false;
        next_packets_ = packets_ + kPackets;
        next_bytes_ = bytes_ + kBytes;
        return true;
    }
    uint64_t packets() const { return packets_; }

private:
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
    uint64_t next_packets_ = kPackets;
    uint64_t next_bytes_ = kBytes;
};

}  // namespace flowsieve
