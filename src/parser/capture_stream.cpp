#include "parser/capture_stream.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "parser/pcap.hpp"
#include "parser/pcapng_format.hpp"
#include "util/os_error.hpp"

namespace flowsieve {
namespace {

constexpr size_t kBlockSize = 1 << 20;
// A batch is handed out once this much is pending or nothing more is ready.
constexpr size_t kBatchSize = 256 << 10;
// Blocks kept for reuse, so that reading does not fault in fresh pages.
constexpr size_t kKeptBlocks = 256;
// Larger records are taken for a damaged stream rather than waited for.
constexpr uint32_t kMaxRecordSize = 1 << 28;

}  // namespace

CaptureStream::CaptureStream(int fd) : fd_(fd) {
    // A pipe's default 64 KiB would cost a wake-up of each side per 64 KiB.
    (void)::fcntl(fd_, F_SETPIPE_SZ, int(kBlockSize));
    renew_block(0, kBlockSize);
}

std::shared_ptr<uint8_t[]> CaptureStream::spare_block(size_t& capacity) {
    for (auto& [block, size] : blocks_) {
        // Held by no frame any more (frames only ever let go of it): the
        // fence orders their last reads before the writes to come.
        if (block.use_count() != 1 || size < capacity) continue;
        std::atomic_thread_fence(std::memory_order_acquire);
        capacity = size;
        return block;
    }
    auto block = std::make_shared_for_overwrite<uint8_t[]>(capacity);
    if (blocks_.size() < kKeptBlocks) blocks_.emplace_back(block, capacity);
    return block;
}

void CaptureStream::renew_block(size_t n, size_t capacity) {
    const size_t kept = used_ - prefix_size_ - n;
    capacity = std::max(capacity, prefix_size_ + kept + kBatchSize);
    auto block = spare_block(capacity);
    if (prefix_size_) std::memcpy(block.get(), block_.get(), prefix_size_);
    if (kept) std::memcpy(block.get() + prefix_size_, block_.get() + prefix_size_ + n, kept);
    block_ = std::move(block);
    capacity_ = capacity;
    used_ = prefix_size_ + kept;
}

void CaptureStream::restart_prefix(size_t n) {
    std::memmove(block_.get(), block_.get() + prefix_size_, used_ - prefix_size_);
    used_ -= prefix_size_;
    prefix_size_ = n;
}

Result<bool, int> CaptureStream::read_some(int timeout_ms) {
    const size_t had = used_;
    for (int wait = timeout_ms; used_ < capacity_ && used_ - had < kBatchSize; wait = 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0) break;
        const ssize_t n = ::read(fd_, block_.get() + used_, capacity_ - used_);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) break;
            return errno;
        }
        used_ += size_t(n);
    }
    return true;
}

Result<CaptureStream::Batch, CaptureError> CaptureStream::next(int timeout_ms) {
    Batch batch;
    auto whole = whole_records();
    if (whole && *whole == 0 && !ended_) {
        auto more = read_some(timeout_ms);
        if (!more) return CaptureError{CaptureError::Kind::UnknownFormat, os_error_text(more.error()), {}};
        ended_ = !*more;
        whole = whole_records();
    }
    if (!whole) return std::move(whole).error();
    if (*whole == 0) {
        if (ended_) {
            // What the end cut short is left out.
            batch.ended = true;
            batch.cut_off_bytes = used_ - prefix_size_;
            used_ = prefix_size_;
        }
        return batch;
    }
    auto reader = open_capture(SharedBytes(block_, block_.get(), prefix_size_ + *whole));
    // The block now belongs to the batch's frames; a record that runs past
    // the end of this one needs a larger block.
    size_t capacity = kBlockSize;
    if (auto head = pending().u32(*whole + 8, order_); head && kind_ == Kind::Pcap)
        capacity = std::max<size_t>(capacity, prefix_size_ + kPcapRecordHeaderSize + *head + kBatchSize);
    if (auto length = pending().u32(*whole + 4, order_); length && kind_ == Kind::PcapNg)
        capacity = std::max<size_t>(capacity, prefix_size_ + *length + kBatchSize);
    renew_block(*whole, capacity);
    if (!reader) return std::move(reader).error();
    batch.reader = std::move(reader).value();
    return batch;
}

Result<size_t, CaptureError> CaptureStream::whole_records() {
    if (kind_ == Kind::Unknown) {
        uint8_t magic[4];
        if (!pending().copy(0, 4, magic)) return size_t(0);
        if (auto format = classic_pcap_format(magic)) {
            if (!pending().has(0, kPcapGlobalHeaderSize)) return size_t(0);
            kind_ = Kind::Pcap;
            order_ = format->order;
            restart_prefix(kPcapGlobalHeaderSize);
        } else if (pending().u32(0, ByteOrder::Little) == kPcapNgSectionHeader) {
            kind_ = Kind::PcapNg;
        } else {
            return CaptureError::unknown();
        }
    }
    if (kind_ == Kind::PcapNg) return whole_pcapng_blocks();
    const ByteView view = pending();
    size_t at = 0;
    while (auto incl_len = view.u32(at + 8, order_)) {
        if (*incl_len > kMaxRecordSize)
            return CaptureError::pcap("record of " + std::to_string(*incl_len) + " bytes");
        const size_t size = kPcapRecordHeaderSize + size_t(*incl_len);
        if (!view.has(at, size)) {
            if (at == 0 && prefix_size_ + size > capacity_) renew_block(0, prefix_size_ + size + kBatchSize);
            break;
        }
        at += kPcapRecordHeaderSize + *incl_len;
    }
    return at;
}

// Section headers and interface descriptions join the prefix when they
// reach the front; a batch ends before one, so that its records are read
// behind the headers they follow.
Result<size_t, CaptureError> CaptureStream::whole_pcapng_blocks() {
    size_t at = 0;
    for (;;) {
        const ByteView view = pending();
        const auto type = view.u32(at, order_);
        if (!type) return at;
        if (*type == kPcapNgSectionHeader && at == 0) {
            const auto magic = view.u32(8, ByteOrder::Little);
            if (!magic) return at;
            if (*magic == kPcapNgByteOrderMagic) order_ = ByteOrder::Little;
            else if (*magic == __builtin_bswap32(kPcapNgByteOrderMagic)) order_ = ByteOrder::Big;
            else return CaptureError::pcapng("bad byte-order magic");
        }
        const auto length = view.u32(at + 4, order_);
        if (!length) return at;
        if (*length < kPcapNgBlockHeaderSize + kPcapNgBlockTrailerSize || *length % 4 || *length > kMaxRecordSize)
            return CaptureError::pcapng("block of " + std::to_string(*length) + " bytes");
        const bool header = *type == kPcapNgSectionHeader || *type == kPcapNgInterfaceDescription;
        if (header && at > 0) return at;
        if (!view.has(at, *length)) {
            // A block larger than the room left waits in a block it fits.
            if (at == 0 && prefix_size_ + *length > capacity_) renew_block(0, prefix_size_ + *length + kBatchSize);
            return at;
        }
        if (!header) {
            at += *length;
            continue;
        }
        if (*type == kPcapNgSectionHeader) restart_prefix(*length);
        else prefix_size_ += *length;
    }
}

}  // namespace flowsieve
