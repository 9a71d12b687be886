// A capture that arrives on a stream (a pipe, a socket) and never ends while
// its writer runs: its bytes are cut into batches of whole records as they
// come, and each batch is read by the reader of its format, behind the
// headers that records depend on (the pcap global header; the pcapng
// section header and interface descriptions seen so far).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "parser/capture.hpp"
#include "util/result.hpp"

namespace flowsieve {

class CaptureStream {
public:
    // Reads `fd`, which stays the caller's.
    explicit CaptureStream(int fd) : fd_(fd) {}

    struct Batch {
        std::unique_ptr<CaptureReader> reader;  // none when no whole record came in time
        bool ended = false;  // the stream ended; what came before was handed out
        uint64_t cut_off_bytes = 0;  // of a last record the end cut short
    };
    // Waits up to `timeout_ms` for whole records. An error of the format
    // ends the stream.
    Result<Batch, CaptureError> next(int timeout_ms);

private:
    // The length of the whole records at the front of the pending bytes,
    // after taking any header there into the prefix.
    Result<size_t, CaptureError> whole_records();
    Result<size_t, CaptureError> whole_pcapng_blocks();

    int fd_;
    std::vector<uint8_t> pending_;  // read, not yet handed out
    std::vector<uint8_t> prefix_;  // headers put before every batch
    enum class Kind { Unknown, Pcap, PcapNg } kind_ = Kind::Unknown;
    ByteOrder order_ = ByteOrder::Little;
};

}  // namespace flowsieve
