#include <algorithm>

#include "packet/packet.hpp"

namespace flowsieve {
namespace {

constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kLinkIeee80211 = 105;
constexpr uint32_t kLinkRadiotap = 127;

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoEsp = 50;
constexpr uint8_t kProtoNoNext = 59;
constexpr uint8_t kProtoIcmpv6 = 58;

constexpr int kMaxExtensionHeaders = 8;

bool is_ip_ethertype(uint16_t type) { return type == kEtherIpv4 || type == kEtherIpv6; }

MacAddress read_mac(ByteView v, size_t offset) {
    MacAddress mac{};
    v.copy(offset, mac.size(), mac.data());
    return mac;
}

// Ports and payload after the transport header at offset `at` of an IP
// packet of n bytes, shared by both families for TCP and UDP.
void dissect_ports(ByteView v, size_t at, IpDissection& out) {
    const size_t n = v.size();
    auto src = v.u16be(at);
    auto dst = v.u16be(at + 2);
    if (!src || !dst) {  // fewer than 4 bytes of transport header
        out.payload_offset = at;
        return;
    }
    out.tuple.src_port = *src;
    out.tuple.dst_port = *dst;
    if (out.tuple.protocol == kProtoUdp) {
        out.payload_offset = std::min<uint64_t>(at + 8, n);
    } else if (v.has(at, 20)) {
        uint8_t data_offset = *v.u8(at + 12) >> 4;
        out.payload_offset = std::min<uint64_t>(at + 4 * size_t(data_offset), n);
    }
}

std::optional<IpDissection> dissect_ipv4(ByteView v) {
    if (v.size() < 20) return std::nullopt;
    size_t header_len = size_t(*v.u8(0) & 0x0F) * 4;
    if (header_len < 20 || header_len > v.size()) return std::nullopt;
    IpDissection out;
    out.tuple.src_ip.family = out.tuple.dst_ip.family = 4;
    v.copy(12, 4, out.tuple.src_ip.bytes.data());
    v.copy(16, 4, out.tuple.dst_ip.bytes.data());
    out.tuple.protocol = *v.u8(9);
    switch (out.tuple.protocol) {
        case kProtoIcmp:
            break;
        case kProtoTcp:
        case kProtoUdp:
            dissect_ports(v, header_len, out);
            break;
        default:
            out.payload_offset = header_len;
    }
    return out;
}

bool is_extension_header(uint8_t next) {
    return next == 0 || next == 43 || next == 44 || next == 51 || next == 60;
}

std::optional<IpDissection> dissect_ipv6(ByteView v) {
    if (v.size() < 40) return std::nullopt;
    IpDissection out;
    out.tuple.src_ip.family = out.tuple.dst_ip.family = 6;
    v.copy(8, 16, out.tuple.src_ip.bytes.data());
    v.copy(24, 16, out.tuple.dst_ip.bytes.data());

    uint8_t next = *v.u8(6);
    size_t offset = 40;
    for (int walked = 0; walked < kMaxExtensionHeaders; ++walked) {
        if (next == kProtoEsp || next == kProtoNoNext) {
            out.tuple.protocol = next;
            return out;
        }
        if (!is_extension_header(next)) break;
        auto following = v.u8(offset);
        auto len_byte = v.u8(offset + 1);
        if (!following || !len_byte) return std::nullopt;  // chain runs past the capture
        size_t length;
        if (next == 44) length = 8;
        else if (next == 51) length = (size_t(*len_byte) + 2) * 4;
        else length = (size_t(*len_byte) + 1) * 8;
        next = *following;
        offset += length;
    }

    out.tuple.protocol = next;
    if (next == kProtoTcp || next == kProtoUdp) {
        // The offset may have run past the capture: the port reads then fail.
        dissect_ports(v, offset, out);
    } else if (next != kProtoIcmpv6) {
        out.payload_offset = offset;
    }
    // Header lengths from the chain may point past the captured bytes; the
    // payload offset never does.
    if (out.payload_offset) out.payload_offset = std::min<uint64_t>(*out.payload_offset, v.size());
    return out;
}

// The 802.11 frame at offset h of the frame.
void dissect_80211(ByteView v, size_t h, ParsedPacket& p) {
    if (!v.has(h, 24)) return;
    uint8_t fc0 = *v.u8(h);
    uint8_t fc1 = *v.u8(h + 1);
    unsigned type = (fc0 >> 2) & 3;
    bool to_ds = fc1 & 1;
    bool from_ds = fc1 & 2;
    MacAddress addr1 = read_mac(v, h + 4);
    MacAddress addr2 = read_mac(v, h + 10);
    MacAddress addr3 = read_mac(v, h + 16);
    p.dst_mac = addr1;
    p.src_mac = addr2;
    size_t header_len = (to_ds && from_ds) ? 30 : 24;

    if (type == 0) {
        p.bssid = addr3;
    } else if (type == 2) {
        if (!to_ds && !from_ds) p.bssid = addr3;
        else if (!to_ds && from_ds) p.bssid = addr2;
        else if (to_ds && !from_ds) p.bssid = addr1;
    }

    size_t l = h + header_len;
    static constexpr uint8_t kSnap[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
    auto snap = v.sub(l, 8);
    if (!snap) return;
    if (!std::equal(kSnap, kSnap + 6, snap->data())) return;
    if (!is_ip_ethertype(*snap->u16be(6))) return;
    auto ip = dissect_ip(*v.from(l + 8));
    if (!ip) return;
    p.ip = ip->tuple;
    if (ip->payload_offset) p.payload_offset = l + 8 + *ip->payload_offset;
}

void dissect_ethernet(ByteView v, ParsedPacket& p) {
    if (v.size() < 14) return;
    p.dst_mac = read_mac(v, 0);
    p.src_mac = read_mac(v, 6);
    uint16_t type = *v.u16be(12);
    size_t link_len;
    if (is_ip_ethertype(type)) {
        link_len = 14;
    } else if (type == kEtherVlan) {
        auto inner = v.u16be(16);
        if (!inner || !is_ip_ethertype(*inner)) return;
        link_len = 18;
    } else {
        return;
    }
    auto ip = dissect_ip(*v.from(link_len));
    if (!ip) return;
    p.ip = ip->tuple;
    if (ip->payload_offset) p.payload_offset = link_len + *ip->payload_offset;
}

void dissect_radiotap(ByteView v, ParsedPacket& p) {
    if (v.size() < 4 || *v.u8(0) != 0) return;
    size_t h = *v.u16(2, ByteOrder::Little);
    if (h < 4 || h > v.size()) return;
    dissect_80211(v, h, p);
}

}  // namespace

std::optional<IpDissection> dissect_ip(ByteView bytes) {
    auto first = bytes.u8(0);
    if (!first) return std::nullopt;
    switch (*first >> 4) {
        case 4: return dissect_ipv4(bytes);
        case 6: return dissect_ipv6(bytes);
        default: return std::nullopt;
    }
}

ParsedPacket dissect_frame(uint32_t ts_sec, uint32_t ts_usec, uint32_t orig_len, SharedBytes data,
                           uint32_t link_type) {
    ParsedPacket p;
    p.ts_sec = ts_sec;
    p.ts_usec = ts_usec;
    p.orig_len = orig_len;
    p.incl_len = uint32_t(data.size());
    p.data = std::move(data);
    ByteView v = p.data.view();
    switch (link_type) {
        case kLinkEthernet: dissect_ethernet(v, p); break;
        case kLinkIeee80211: dissect_80211(v, 0, p); break;
        case kLinkRadiotap: dissect_radiotap(v, p); break;
        default: {
            auto ip = dissect_ip(v);
            if (ip) {
                p.ip = ip->tuple;
                p.payload_offset = ip->payload_offset;
            }
        }
    }
    return p;
}

}  // namespace flowsieve
