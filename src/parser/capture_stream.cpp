#include "parser/capture_stream.hpp"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "parser/pcap.hpp"
#include "parser/pcapng_format.hpp"
#include "util/os_error.hpp"

namespace flowsieve {
namespace {

constexpr size_t kReadSize = 1 << 20;
// Larger records are taken for a damaged stream rather than waited for.
constexpr uint32_t kMaxRecordSize = 1 << 28;

}  // namespace

Result<CaptureStream::Batch, CaptureError> CaptureStream::next(int timeout_ms) {
    auto whole = whole_records();
    if (!whole) return std::move(whole).error();
    Batch batch;
    if (*whole == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return batch;
        const size_t had = pending_.size();
        pending_.resize(had + kReadSize);
        const ssize_t n = ::read(fd_, pending_.data() + had, kReadSize);
        pending_.resize(had + size_t(n > 0 ? n : 0));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) return batch;
            return CaptureError{CaptureError::Kind::UnknownFormat, os_error_text(errno), {}};
        }
        if (n == 0) {
            batch.ended = true;
            batch.cut_off_bytes = pending_.size();
            pending_.clear();
            return batch;
        }
        whole = whole_records();
        if (!whole || *whole == 0) return whole ? Result<Batch, CaptureError>(std::move(batch)) : std::move(whole).error();
    }
    auto bytes = std::make_shared<std::vector<uint8_t>>(prefix_);
    bytes->insert(bytes->end(), pending_.begin(), pending_.begin() + ptrdiff_t(*whole));
    pending_.erase(pending_.begin(), pending_.begin() + ptrdiff_t(*whole));
    SharedBytes input(bytes, bytes->data(), bytes->size());
    auto reader = open_capture(std::move(input));
    if (!reader) return std::move(reader).error();
    batch.reader = std::move(reader).value();
    return batch;
}

Result<size_t, CaptureError> CaptureStream::whole_records() {
    const ByteView view(pending_.data(), pending_.size());
    if (kind_ == Kind::Unknown) {
        uint8_t magic[4];
        if (!view.copy(0, 4, magic)) return size_t(0);
        if (auto format = classic_pcap_format(magic)) {
            if (!view.has(0, kPcapGlobalHeaderSize)) return size_t(0);
            kind_ = Kind::Pcap;
            order_ = format->order;
            prefix_.assign(pending_.begin(), pending_.begin() + kPcapGlobalHeaderSize);
            pending_.erase(pending_.begin(), pending_.begin() + kPcapGlobalHeaderSize);
            return whole_records();
        }
        if (view.u32(0, ByteOrder::Little) != kPcapNgSectionHeader) return CaptureError::unknown();
        kind_ = Kind::PcapNg;
    }
    if (kind_ == Kind::PcapNg) return whole_pcapng_blocks();
    size_t at = 0;
    while (auto incl_len = view.u32(at + 8, order_)) {
        if (*incl_len > kMaxRecordSize)
            return CaptureError::pcap("record of " + std::to_string(*incl_len) + " bytes");
        if (!view.has(at, kPcapRecordHeaderSize + size_t(*incl_len))) break;
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
        const ByteView view(pending_.data(), pending_.size());
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
        if (!view.has(at, *length)) return at;
        if (!header) {
            at += *length;
            continue;
        }
        if (*type == kPcapNgSectionHeader) prefix_.clear();
        prefix_.insert(prefix_.end(), pending_.begin(), pending_.begin() + *length);
        pending_.erase(pending_.begin(), pending_.begin() + *length);
    }
}

}  // namespace flowsieve
