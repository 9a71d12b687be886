// A capture that arrives on a stream (a pipe, a socket) and never ends while
// its writer runs: its bytes are cut into batches of whole records as they
// come, and each batch is read by the reader of its format, behind the
// headers that records depend on (the pcap global header; the pcapng
// section header and interface descriptions seen so far).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "parser/capture.hpp"
#include "util/result.hpp"

namespace flowsieve {

class CaptureStream {
public:
    // Reads `fd`, which stays the caller's.
    explicit CaptureStream(int fd);

    struct Batch {
        std::unique_ptr<CaptureReader> reader;  // none when no whole record came in time
        bool ended = false;  // the stream ended; what came before was handed out
        uint64_t cut_off_bytes = 0;  // of a last record the end cut short
    };
    // Waits up to `timeout_ms` for whole records. An error of the format
    // ends the stream.
    Result<Batch, CaptureError> next(int timeout_ms);

private:
    // Reads what the stream has ready, up to a batch; false once at its end.
    Result<bool, int> read_some(int timeout_ms);
    // The length of the whole records at the front of the pending bytes,
    // after taking any header there into the prefix.
    Result<size_t, CaptureError> whole_records();
    Result<size_t, CaptureError> whole_pcapng_blocks();
    ByteView pending() const { return ByteView(block_.get() + prefix_size_, used_ - prefix_size_); }
    // Drops the first n pending bytes, which the prefix takes in place of
    // what it held.
    void restart_prefix(size_t n);
    // Moves the prefix and the pending bytes after the first n into a new
    // block of at least `capacity` bytes.
    void renew_block(size_t n, size_t capacity);
    // A block of at least `capacity` bytes (set to its size) that no frame
    // holds: one of those kept, or a new one.
    std::shared_ptr<uint8_t[]> spare_block(size_t& capacity);

    int fd_;
    // The prefix (the headers put before every batch) and then the bytes
    // read and not yet handed out: a batch is the block itself, so that
    // records are not copied.
    std::shared_ptr<uint8_t[]> block_;
    size_t capacity_ = 0;
    size_t prefix_size_ = 0;
    size_t used_ = 0;
    std::vector<std::pair<std::shared_ptr<uint8_t[]>, size_t>> blocks_;  // kept for reuse, with their sizes
    enum class Kind { Unknown, Pcap, PcapNg } kind_ = Kind::Unknown;
    ByteOrder order_ = ByteOrder::Little;
    bool ended_ = false;  // read to its end: what is pending is all there is
};

}  // namespace flowsieve
