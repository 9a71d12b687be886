#include "parser/capture.hpp"

#include "parser/pcap.hpp"
#include "parser/pcapng.hpp"

namespace flowsieve {

std::string CaptureError::text() const {
    switch (kind) {
        case Kind::PcapFormat: return "Invalid PCAP format: " + detail;
        case Kind::PcapNgFormat: return "Invalid PCAP-NG format: " + detail;
        case Kind::UnknownFormat: break;
    }
    return "Unsupported file format (unknown magic number)";
}

namespace {

bool is_pcapng_magic(const uint8_t magic[4]) {
    return magic[0] == 0x0A && magic[1] == 0x0D && magic[2] == 0x0D && magic[3] == 0x0A;
}

}  // namespace

bool is_capture_magic(ByteView start) {
    uint8_t magic[4];
    return start.copy(0, 4, magic) && (classic_pcap_format(magic) || is_pcapng_magic(magic));
}

Result<std::unique_ptr<CaptureReader>, CaptureError> open_capture(SharedBytes input) {
    uint8_t magic[4];
    if (!input.view().copy(0, 4, magic)) return CaptureError::unknown();
    if (auto format = classic_pcap_format(magic)) {
        if (input.size() < kPcapGlobalHeaderSize)
            return CaptureError::pcap("file too small for global header");
        return std::unique_ptr<CaptureReader>(new PcapReader(std::move(input), *format));
    }
    if (is_pcapng_magic(magic)) {
        auto reader = PcapNgReader::open(std::move(input));
        if (!reader) return std::move(reader).error();
        return std::unique_ptr<CaptureReader>(std::move(reader).value());
    }
    return CaptureError::unknown();
}

}  // namespace flowsieve
