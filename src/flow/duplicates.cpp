#include "flow/duplicates.hpp"

#include <cstring>
#include <functional>
#include <string_view>

namespace flowsieve {

bool DuplicateWindow::repeats(const ParsedPacket& packet) {
    if (!packet.ip) return false;
    const auto layout = locate_ip(packet, false);
    if (!layout) return false;
    const ByteView frame = packet.data.view();
    const size_t end = packet.payload_offset ? size_t(packet.payload_end) : frame.size();
    const auto ip = end >= layout->ip_offset ? frame.sub(layout->ip_offset, end - layout->ip_offset) : std::nullopt;
    if (!ip) return false;
    const int64_t ns = int64_t(packet.ts_sec) * 1000000000 + int64_t(packet.time().nsec());
    const uint64_t hash =
        std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(ip->data()), ip->size()));
    for (const Seen& s : seen_) {
        if (s.hash == hash && s.size == ip->size() && s.ip && (ns > s.ns ? ns - s.ns : s.ns - ns) <= kWithinNs &&
            std::memcmp(s.ip, ip->data(), ip->size()) == 0)
            return true;
    }
    const uint8_t* kept = ip->data();
    if (keep_copies_) [[unlikely]] {
        copies_[next_].assign(ip->data(), ip->data() + ip->size());
        kept = copies_[next_].data();
    }
    seen_[next_] = {ns, hash, kept, ip->size()};
    next_ = (next_ + 1) % kFrames;
    return false;
}

}  // namespace flowsieve
