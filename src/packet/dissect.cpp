#include <algorithm>
#include <array>
#include <cstring>

#include "packet/packet.hpp"

namespace flowsieve {
namespace {

constexpr uint32_t kLinkNull = 0;
constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kLinkIeee80211 = 105;
constexpr uint32_t kLinkLoop = 108;
constexpr uint32_t kLinkLinuxCooked = 113;
constexpr uint32_t kLinkRadiotap = 127;
constexpr uint32_t kLinkLinuxCooked2 = 276;
// Raw IP, under the numbers capture files use for it.
constexpr uint32_t kLinkRawIp[] = {12, 14, 101, 228, 229};

constexpr size_t kEthernetLen = 14;
constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr uint16_t kEtherQinQLegacy = 0x9100;
constexpr uint16_t kEtherMpls = 0x8847;
constexpr uint16_t kEtherMplsMulticast = 0x8848;
constexpr uint16_t kEtherPppoeSession = 0x8864;

constexpr uint16_t kPppIpv4 = 0x0021;
constexpr uint16_t kPppIpv6 = 0x0057;

// Address families of the null and loop headers: AF_INET everywhere, and
// AF_INET6 as the BSDs number it.
constexpr uint32_t kFamilyIpv4 = 2;
constexpr uint32_t kFamilyIpv6Bsd = 24;
constexpr uint32_t kFamilyIpv6FreeBsd = 28;
constexpr uint32_t kFamilyIpv6Darwin = 30;

constexpr size_t kLinuxCookedLen = 16;
constexpr size_t kLinuxCooked2Len = 20;
constexpr size_t kPppoeLen = 6;
constexpr size_t kQosControlLen = 2;
constexpr size_t kHtControlLen = 4;
constexpr int kMaxVlanTags = 8;
constexpr int kMaxMplsLabels = 8;

constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoFragment = 44;
constexpr uint8_t kProtoEsp = 50;
constexpr uint8_t kProtoNoNext = 59;
constexpr uint8_t kProtoSctp = 132;

constexpr uint16_t kIpv4MoreFragments = 0x2000;
constexpr uint16_t kIpv4FragmentOffset = 0x1FFF;
constexpr uint16_t kIpv6FragmentOffset = 0xFFF8;
constexpr uint16_t kIpv6MoreFragments = 0x0001;

constexpr int kMaxExtensionHeaders = 8;

constexpr size_t kUdpHeaderLen = 8;

constexpr uint16_t kEtherTransparentBridging = 0x6558;  // Ethernet inside GRE or GENEVE
constexpr uint16_t kEtherErspan2 = 0x88BE;
constexpr uint16_t kEtherErspan3 = 0x22EB;
constexpr uint16_t kEtherPpp = 0x880B;

bool is_ip_ethertype(uint16_t type) { return type == kEtherIpv4 || type == kEtherIpv6; }

MacAddress read_mac(ByteView v, size_t offset) {
    MacAddress mac{};
    v.copy(offset, mac.size(), mac.data());
    return mac;
}

// The ICMP or ICMPv6 type and code, or the SCTP ports, at offset `at`
// (zeros when not captured).
void read_transport_names(ByteView v, size_t at, IpTuple& t) {
    if (t.protocol == kProtoIcmp || t.protocol == kIpProtoIcmpv6) {
        t.icmp_type = v.u8(at).value_or(0);
        t.icmp_code = v.u8(at + 1).value_or(0);
        if (auto id = v.u16be(at + 4)) {
            t.icmp_id = *id;
            t.has_icmp_id = true;
        }
    } else if (t.protocol == kProtoSctp && v.has(at, 4)) {
        t.sctp_src_port = *v.u16be(at);
        t.sctp_dst_port = *v.u16be(at + 2);
    }
}

// Ports and payload after the transport header at offset `at` of an IP
// packet of n bytes, shared by both families for TCP and UDP.
void dissect_ports(ByteView v, size_t at, IpDissection& out) {
    const size_t n = v.size();
    auto src = v.u16be(at);
    auto dst = v.u16be(at + 2);
    if (!src || !dst) {  // fewer than 4 bytes of transport header
        out.payload_offset = uint32_t(at);
        return;
    }
    out.tuple.src_port = *src;
    out.tuple.dst_port = *dst;
    if (out.tuple.protocol == kIpProtoUdp) {
        out.payload_offset = uint32_t(std::min<uint64_t>(at + 8, n));
    } else if (const std::optional<ByteView> header = v.sub(at, 20)) {
        const uint8_t* h = header->data();
        std::memcpy(out.tuple.tcp_header.data(), h + 4, out.tuple.tcp_header.size());
        out.payload_offset = uint32_t(std::min<uint64_t>(at + 4 * size_t(h[12] >> 4), n));
    }
}

// A fragment after the first begins inside the datagram's payload: it has
// no transport header to read ports from, and all of it is payload, for the
// protocols whose payload is kept.
void dissect_later_fragment(size_t at, IpDissection& out) {
    out.fragment = FragmentPart::Later;
    const uint8_t protocol = out.tuple.protocol;
    if (protocol != kProtoIcmp && protocol != kIpProtoIcmpv6 && protocol != kProtoEsp && protocol != kProtoNoNext)
        out.payload_offset = uint32_t(at);
}

// Inlined where frames are dissected, so that its result is built in place.
[[gnu::always_inline]] inline std::optional<IpDissection> dissect_ipv4(ByteView v) {
    if (v.size() < 20) return std::nullopt;
    size_t header_len = size_t(*v.u8(0) & 0x0F) * 4;
    if (header_len < 20 || header_len > v.size()) return std::nullopt;
    IpDissection out;
    out.datagram_length = *v.u16be(2);
    out.tuple.src_ip.family = out.tuple.dst_ip.family = 4;
    v.copy(12, 4, out.tuple.src_ip.bytes.data());
    v.copy(16, 4, out.tuple.dst_ip.bytes.data());
    out.tuple.protocol = *v.u8(9);
    const uint16_t fragment = *v.u16be(6);
    if (fragment & (kIpv4MoreFragments | kIpv4FragmentOffset)) {
        out.fragment_id = *v.u16be(4);
        if (fragment & kIpv4FragmentOffset) {
            dissect_later_fragment(header_len, out);
            return out;
        }
        out.fragment = FragmentPart::First;
    }
    read_transport_names(v, header_len, out.tuple);
    out.transport_offset = uint32_t(header_len);
    switch (out.tuple.protocol) {
        case kProtoIcmp:
            break;
        case kIpProtoTcp:
        case kIpProtoUdp:
            dissect_ports(v, header_len, out);
            break;
        default:
            out.payload_offset = uint32_t(header_len);
    }
    return out;
}

bool is_extension_header(uint8_t next) {
    return next == 0 || next == 43 || next == 44 || next == 51 || next == 60;
}

std::optional<IpDissection> dissect_ipv6(ByteView v) {
    if (v.size() < 40) return std::nullopt;
    IpDissection out;
    if (uint16_t payload_length = *v.u16be(4)) out.datagram_length = 40 + uint32_t(payload_length);
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
        if (next == kProtoFragment) {
            // Offset 0 without more fragments is an atomic fragment: a whole datagram.
            auto field = v.u16be(offset + 2);
            auto id = v.u32(offset + 4, ByteOrder::Big);
            if (field && id && (*field & (kIpv6FragmentOffset | kIpv6MoreFragments))) {
                out.fragment_id = *id;
                if (*field & kIpv6FragmentOffset) {
                    out.tuple.protocol = *following;
                    dissect_later_fragment(offset + 8, out);
                    return out;
                }
                out.fragment = FragmentPart::First;
            }
        }
        size_t length;
        if (next == kProtoFragment) length = 8;
        else if (next == 51) length = (size_t(*len_byte) + 2) * 4;
        else length = (size_t(*len_byte) + 1) * 8;
        next = *following;
        offset += length;
    }

    out.tuple.protocol = next;
    read_transport_names(v, offset, out.tuple);
    out.transport_offset = uint32_t(offset);
    if (next == kIpProtoTcp || next == kIpProtoUdp) {
        // The offset may have run past the capture: the port reads then fail.
        dissect_ports(v, offset, out);
    } else if (next != kIpProtoIcmpv6) {
        out.payload_offset = uint32_t(offset);
    }
    // Header lengths from the chain may point past the captured bytes; the
    // payload offset never does.
    if (out.payload_offset) out.payload_offset = uint32_t(std::min<uint64_t>(out.payload_offset, v.size()));
    return out;
}

// The IP packet's facts, its payload range counted from the frame's start.
// The payload ends with the datagram when the length its header states
// covers the headers and lies within the captured bytes, so that link-layer
// padding is not payload. A length of 0 (segmentation offload on the
// capturing host) or past the capture (snap length) leaves it running to the
// end of the captured bytes.
[[gnu::always_inline]] inline void take_ip(const IpDissection& ip, size_t at, ParsedPacket& p) {
    p.ip = ip.tuple;
    p.fragment = ip.fragment;
    p.fragment_id = ip.fragment_id;
    if (ip.payload_offset) {
        // At most 60 bytes for TCP (a 4-bit count of words), 8 for UDP.
        if (ip.transport_offset && ip.payload_offset >= ip.transport_offset)
            p.ip->transport_header_len = uint8_t(std::min<uint64_t>(ip.payload_offset - ip.transport_offset, 255));
        const uint64_t captured = p.incl_len - at;
        const uint64_t stated = ip.datagram_length;
        p.payload_offset = at + ip.payload_offset;
        p.payload_end = at + (stated >= ip.payload_offset && stated <= captured ? stated : captured);
    }
    p.ip_length = ip.datagram_length ? ip.datagram_length : uint32_t(p.incl_len - at);
}

// Each link layer's decoder takes the hardware addresses it holds and
// returns where the IP header starts, if the frame carries one.
using IpStart = std::optional<size_t>;

// The 802.11 frame at offset h of the frame.
IpStart dissect_80211(ByteView v, size_t h, ParsedPacket& p) {
    if (!v.has(h, 24)) return std::nullopt;
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

    auto ip_after_snap = [&](size_t l) -> IpStart {
        static constexpr uint8_t kSnap[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
        auto snap = v.sub(l, 8);
        if (!snap || !std::equal(kSnap, kSnap + 6, snap->data()) || !is_ip_ethertype(*snap->u16be(6)))
            return std::nullopt;
        return l + 8;
    };
    if (IpStart at = ip_after_snap(h + header_len)) return at;
    // QoS Data (subtypes 8 to 15) carries a QoS Control field after the
    // addresses, and HT Control after it when the Order bit is set. Tried
    // only where the plain header finds no LLC/SNAP, so that no frame
    // decoded without them is read differently.
    const bool qos_data = type == 2 && (fc0 & 0x80);
    if (!qos_data) return std::nullopt;
    return ip_after_snap(h + header_len + kQosControlLen + (fc1 & 0x80 ? kHtControlLen : 0));
}

bool is_vlan_tag(uint16_t type) { return type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQLegacy; }

// Where an IP header starts behind an MPLS label stack at `at`: after the
// bottom-of-stack label, which the version nibble there then tells apart.
IpStart ip_after_mpls(ByteView v, size_t at) {
    for (int labels = 0; labels < kMaxMplsLabels; ++labels, at += 4) {
        auto label = v.u32(at, ByteOrder::Big);
        if (!label) return std::nullopt;
        if (*label & 0x100) return at + 4;
    }
    return std::nullopt;
}

// Where an IP header starts behind a PPPoE session header at `at`, when its
// PPP protocol is IPv4 or IPv6.
IpStart ip_after_pppoe(ByteView v, size_t at) {
    auto protocol = v.u16be(at + kPppoeLen);
    if (!protocol || (*protocol != kPppIpv4 && *protocol != kPppIpv6)) return std::nullopt;
    return at + kPppoeLen + 2;
}

// Where an IP header starts behind the EtherType at `at` of an Ethernet
// frame: directly, or after VLAN tags, an MPLS label stack or a PPPoE
// session header. Nothing for any other type, or too many tags.
[[gnu::always_inline]] inline IpStart ip_after_ethertype(ByteView v, size_t at) {
    auto type = v.u16be(at);
    if (type && is_ip_ethertype(*type)) return at + 2;  // plain Ethernet, the common case
    for (int tags = 0; type && is_vlan_tag(*type) && tags < kMaxVlanTags; ++tags) {
        at += 4;
        type = v.u16be(at);
    }
    if (!type) return std::nullopt;
    switch (*type) {
        case kEtherIpv4:
        case kEtherIpv6: return at + 2;
        case kEtherMpls:
        case kEtherMplsMulticast: return ip_after_mpls(v, at + 2);
        case kEtherPppoeSession: return ip_after_pppoe(v, at + 2);
        default: return std::nullopt;
    }
}

[[gnu::always_inline]] inline IpStart dissect_ethernet(ByteView v, ParsedPacket& p) {
    if (v.size() < kEthernetLen) return std::nullopt;
    p.dst_mac = read_mac(v, 0);
    p.src_mac = read_mac(v, 6);
    return ip_after_ethertype(v, kEthernetLen - 2);
}

// Linux cooked headers hold one hardware address only, so none is taken.
IpStart dissect_linux_cooked(ByteView v, size_t protocol_at, size_t header_len) {
    if (v.size() < header_len || !is_ip_ethertype(*v.u16be(protocol_at))) return std::nullopt;
    return header_len;
}

bool is_ip_family(uint32_t family) {
    return family == kFamilyIpv4 || family == kFamilyIpv6Bsd || family == kFamilyIpv6FreeBsd ||
           family == kFamilyIpv6Darwin;
}

// The null header's family is in the capturing host's byte order, so
// either order is taken; the loop header's is in network order. Some
// writers put an IP EtherType in its last two bytes instead, as Wireshark
// reads it.
IpStart dissect_loopback(ByteView v, bool either_order) {
    auto big = v.u32(0, ByteOrder::Big);
    if (!big) return std::nullopt;
    if (is_ip_family(*big) || (either_order && is_ip_family(*v.u32(0, ByteOrder::Little)))) return 4;
    if (is_ip_ethertype(uint16_t(*big))) return 4;
    return std::nullopt;
}

IpStart dissect_radiotap(ByteView v, ParsedPacket& p) {
    if (v.size() < 4 || *v.u8(0) != 0) return std::nullopt;
    size_t h = *v.u16(2, ByteOrder::Little);
    if (h < 4 || h > v.size()) return std::nullopt;
    return dissect_80211(v, h, p);
}

// Where the IP header starts behind the frame's link layer. Inlined into
// dissect_frame, which runs for every packet.
[[gnu::always_inline]] inline IpStart ip_start(ByteView v, uint32_t link_type, ParsedPacket& p) {
    switch (link_type) {
        case kLinkEthernet: return dissect_ethernet(v, p);
        case kLinkIeee80211: return dissect_80211(v, 0, p);
        case kLinkRadiotap: return dissect_radiotap(v, p);
        case kLinkLinuxCooked: return dissect_linux_cooked(v, 14, kLinuxCookedLen);
        case kLinkLinuxCooked2: return dissect_linux_cooked(v, 0, kLinuxCooked2Len);
        case kLinkNull: return dissect_loopback(v, true);
        case kLinkLoop: return dissect_loopback(v, false);
        default: return 0;  // raw IP
    }
}

[[gnu::always_inline]] inline std::optional<IpDissection> dissect_ip_inline(ByteView bytes) {
    auto first = bytes.u8(0);
    if (!first) return std::nullopt;
    switch (*first >> 4) {
        case 4: return dissect_ipv4(bytes);
        case 6: return dissect_ipv6(bytes);
        default: return std::nullopt;
    }
}

// What one tunnel header holds: its kind and VNI, and where the IP header
// or Ethernet frame it carries starts, when it carries either.
struct TunnelLayer {
    TunnelKind kind = TunnelKind::Vxlan;
    std::optional<uint32_t> vni;
    std::optional<size_t> ip_at;
    std::optional<size_t> ethernet_at;
};

// What a walk through a packet's tunnels found, when asked again: the
// tunnels, where the innermost IP layer taken starts (0: none was), and
// where the first fragment of an outer datagram starts, if one was.
struct TunnelWalk {
    std::array<TunnelLayer, kMaxTunnels> path{};
    uint8_t depth = 0;
    size_t ip_at = 0;
    std::optional<size_t> fragmented_at;
};

// The 24-bit VNI at `at`, which the caller has checked lies in the view.
uint32_t read_vni(ByteView v, size_t at) { return uint32_t(*v.u16be(at)) << 8 | *v.u8(at + 2); }

// The IP header behind a tunnel header at `at`, told by its version nibble.
std::optional<size_t> ip_by_version(ByteView v, size_t at) {
    auto first = v.u8(at);
    if (!first || (*first >> 4 != 4 && *first >> 4 != 6)) return std::nullopt;
    return at;
}

// What a protocol type (an EtherType) at the end of a GRE or GENEVE header
// carries, starting at `at`.
void carried_by_type(uint16_t type, size_t at, TunnelLayer& layer) {
    if (is_ip_ethertype(type)) layer.ip_at = at;
    else if (type == kEtherTransparentBridging) layer.ethernet_at = at;
}

std::optional<TunnelLayer> open_vxlan(ByteView v, size_t at) {
    auto flags = v.u8(at);
    if (!flags || !v.has(at, 8) || !(*flags & 0x08)) return std::nullopt;  // the I flag: a valid VNI
    TunnelLayer layer{TunnelKind::Vxlan, read_vni(v, at + 4), std::nullopt, at + 8};
    return layer;
}

std::optional<TunnelLayer> open_geneve(ByteView v, size_t at) {
    auto first = v.u8(at);
    if (!first || (*first >> 6) != 0 || !v.has(at, 8)) return std::nullopt;
    const size_t header_len = 8 + size_t(*first & 0x3F) * 4;  // options skipped by their length
    if (!v.has(at, header_len)) return std::nullopt;
    TunnelLayer layer{TunnelKind::Geneve, read_vni(v, at + 4), std::nullopt, std::nullopt};
    carried_by_type(*v.u16be(at + 2), at + header_len, layer);
    return layer;
}

// PPP as PPTP carries it: address and control fields, then a protocol
// field of one byte (when compressed: an odd first byte) or two.
std::optional<size_t> ip_after_ppp(ByteView v, size_t at) {
    if (v.u8(at) == uint8_t(0xFF) && v.u8(at + 1) == uint8_t(0x03)) at += 2;
    auto first = v.u8(at);
    if (!first) return std::nullopt;
    const bool compressed = *first & 1;
    auto protocol = compressed ? std::optional<uint16_t>(*first) : v.u16be(at);
    if (!protocol || (*protocol != kPppIpv4 && *protocol != kPppIpv6)) return std::nullopt;
    return at + (compressed ? 1 : 2);
}

std::optional<TunnelLayer> open_gre(ByteView v, size_t at) {
    auto flags = v.u16be(at);
    auto type = v.u16be(at + 2);
    if (!flags || !type) return std::nullopt;
    const bool checksum = *flags & 0x8000, routing = *flags & 0x4000, key = *flags & 0x2000,
               sequence = *flags & 0x1000, ack = *flags & 0x0080;
    const unsigned version = *flags & 0x7;
    TunnelLayer layer{TunnelKind::Gre, std::nullopt, std::nullopt, std::nullopt};
    if (version == 1) {  // PPTP: the key field always, then sequence and acknowledgement numbers
        if (checksum || routing || !key || *type != kEtherPpp) return std::nullopt;
        const size_t payload = at + 8 + (sequence ? 4 : 0) + (ack ? 4 : 0);
        if (!v.has(at, payload - at)) return std::nullopt;
        layer.ip_at = ip_after_ppp(v, payload);
        return layer;
    }
    if (version != 0 || routing) return std::nullopt;  // source routes are long obsolete
    const size_t payload = at + 4 + (checksum ? 4 : 0) + (key ? 4 : 0) + (sequence ? 4 : 0);
    if (!v.has(at, payload - at)) return std::nullopt;
    switch (*type) {
        case kEtherErspan2:
            // Type I has no header of its own, and GRE no sequence number with it.
            if (!sequence) layer.ethernet_at = payload;
            else if (v.has(payload, 8)) layer.ethernet_at = payload + 8;
            break;
        case kEtherErspan3: {
            auto last = v.u8(payload + 11);
            if (!last) break;
            layer.ethernet_at = payload + 12 + (*last & 1 ? 8 : 0);  // the optional platform sub-header
            break;
        }
        case kEtherMpls:
        case kEtherMplsMulticast: layer.ip_at = ip_after_mpls(v, payload); break;
        default: carried_by_type(*type, payload, layer);
    }
    return layer;
}

std::optional<TunnelLayer> open_gtp_u(ByteView v, size_t at) {
    auto flags = v.u8(at);
    auto type = v.u8(at + 1);
    // Version 1, protocol type GTP, a G-PDU.
    if (!flags || !type || (*flags >> 5) != 1 || !(*flags & 0x10) || *type != 0xFF || !v.has(at, 8))
        return std::nullopt;
    size_t payload = at + 8;
    if (*flags & 0x07) {  // sequence number, N-PDU number and next extension header type
        auto next = v.u8(at + 11);
        if (!next) return std::nullopt;
        payload += 4;
        // Each extension header states its length in words and ends with the next one's type.
        for (uint8_t following = (*flags & 0x04) ? *next : 0; following;) {
            auto words = v.u8(payload);
            if (!words || *words == 0 || !v.has(payload, size_t(*words) * 4)) return std::nullopt;
            payload += size_t(*words) * 4;
            following = *v.u8(payload - 1);
        }
    }
    return TunnelLayer{TunnelKind::GtpU, std::nullopt, ip_by_version(v, payload), std::nullopt};
}

// The tunnel header behind an IP layer whose transport header (or inner IP
// header) starts at `at`, when its protocol and ports name one.
std::optional<TunnelLayer> open_tunnel(ByteView v, size_t at, const IpTuple& ip) {
    switch (ip.protocol) {
        case kProtoIpv4InIp:
        case kProtoIpv6InIp: return TunnelLayer{TunnelKind::IpIp, std::nullopt, ip_by_version(v, at), std::nullopt};
        case kProtoGre: return open_gre(v, at);
        case kIpProtoUdp: {
            if (!v.has(at, kUdpHeaderLen)) return std::nullopt;
            const size_t payload = at + kUdpHeaderLen;
            switch (ip.dst_port) {
                case kPortVxlan: return open_vxlan(v, payload);
                case kPortGeneve: return open_geneve(v, payload);
                case kPortGreInUdp: return open_gre(v, payload);
                default: break;
            }
            if (ip.dst_port == kPortGtpU || ip.src_port == kPortGtpU) return open_gtp_u(v, payload);
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

// Opens the tunnels behind the IP layer `ip` found at `at`, one inside the
// other, and leaves in `ip` and `at` the last IP layer found inside: the
// packet keeps the last one it has, which the caller takes (take_ip). The
// MAC addresses become those of the innermost Ethernet header, the VNI that
// of the innermost VXLAN or GENEVE header. Each tunnel opened goes into
// `walk` when given. Whether an IP layer inside was found.
[[gnu::noinline]] bool open_tunnels(ByteView v, size_t& at, IpDissection& ip, ParsedPacket& p, TunnelWalk* walk) {
    // The first fragment of a tunnel's outer datagram, whose later fragments
    // hold no tunnel header.
    std::optional<size_t> fragmented_at;
    uint32_t fragmented_id = 0;
    size_t inner_at = 0;
    for (int depth = 0; depth < kMaxTunnels; ++depth) {
        // A later fragment holds no transport header to tell a tunnel by.
        if (ip.fragment >= FragmentPart::Later || !ip.transport_offset) break;
        const auto layer = open_tunnel(v, at + ip.transport_offset, ip.tuple);
        if (!layer) break;
        if (ip.fragment == FragmentPart::First && !fragmented_at) {
            fragmented_at = at;
            fragmented_id = ip.fragment_id;
        }
        if (walk) walk->path[size_t(depth)] = *layer;
        if (p.tunnel.depth++ == 0) p.tunnel.outer = layer->kind;
        if (layer->vni) p.tunnel.set_vni(layer->vni);
        std::optional<size_t> inner = layer->ip_at;
        if (layer->ethernet_at) {
            // Takes the inner frame's hardware addresses when it has them.
            auto frame = v.from(*layer->ethernet_at);
            inner = frame ? dissect_ethernet(*frame, p) : std::nullopt;
            if (inner) *inner += *layer->ethernet_at;
        }
        if (!inner) break;
        auto rest = v.from(*inner);
        auto inner_ip = rest ? dissect_ip_inline(*rest) : std::nullopt;
        if (!inner_ip) break;
        inner_at = at = *inner;
        ip = *inner_ip;
    }
    // An inner datagram's own fragments come first: they are what the
    // packet's flow is made of.
    if (fragmented_at && inner_at && ip.fragment == FragmentPart::None) {
        ip.fragment = FragmentPart::First;
        ip.fragment_id = fragmented_id;
        p.tunnel.outer_fragment = true;
    }
    if (walk) {
        walk->depth = p.tunnel.depth;
        walk->ip_at = inner_at;
        walk->fragmented_at = fragmented_at;
    }
    return inner_at != 0;
}

// An inner-mode packet's tunnels walked again, for the facts that are
// wanted once per flow or for few packets and so are not kept in each.
TunnelWalk walk_again(const ParsedPacket& p) {
    TunnelWalk walk;
    const ByteView v = p.data.view();
    ParsedPacket scratch;
    scratch.incl_len = p.incl_len;
    const IpStart at = ip_start(v, p.link_type, scratch);
    auto rest = at ? v.from(*at) : std::nullopt;
    size_t ip_at = at.value_or(0);
    if (auto ip = rest ? dissect_ip_inline(*rest) : std::nullopt) open_tunnels(v, ip_at, *ip, scratch, &walk);
    return walk;
}

}  // namespace

std::optional<IpDissection> dissect_ip(ByteView bytes) { return dissect_ip_inline(bytes); }

bool decodes_link_type(uint32_t link_type) {
    switch (link_type) {
        case kLinkNull:
        case kLinkEthernet:
        case kLinkIeee80211:
        case kLinkLoop:
        case kLinkLinuxCooked:
        case kLinkRadiotap:
        case kLinkLinuxCooked2: return true;
        default: return std::find(std::begin(kLinkRawIp), std::end(kLinkRawIp), link_type) != std::end(kLinkRawIp);
    }
}

std::optional<IpLayout> locate_ip(ByteView frame, uint32_t link_type) {
    ParsedPacket scratch;  // takes the hardware addresses, not wanted here
    const IpStart at = ip_start(frame, link_type, scratch);
    if (!at) return std::nullopt;
    auto rest = frame.from(*at);
    if (!rest) return std::nullopt;
    auto ip = dissect_ip(*rest);
    if (!ip) return std::nullopt;
    IpLayout layout{*at, std::nullopt};
    if (ip->transport_offset) layout.transport_offset = *at + size_t(ip->transport_offset);
    return layout;
}

std::optional<IpLayout> locate_ip(const ParsedPacket& p, bool transport) {
    const ByteView frame = p.data.view();
    if (p.tunnel.depth) [[unlikely]] {
        if (const size_t inner = walk_again(p).ip_at) {
            IpLayout layout{inner, std::nullopt};
            if (p.payload_offset && p.ip->transport_header_len)
                layout.transport_offset = size_t(*p.payload_offset) - p.ip->transport_header_len;
            return layout;
        }
    }
    if (p.link_type == kLinkEthernet) {
        // Untagged: the IP header right after Ethernet's, and the transport
        // header its length before the payload.
        const auto type = frame.u16be(kEthernetLen - 2);
        if (type && is_ip_ethertype(*type)) {
            if (!transport) return IpLayout{kEthernetLen, std::nullopt};
            if (p.payload_offset && p.ip->transport_header_len)
                return IpLayout{kEthernetLen, size_t(*p.payload_offset) - p.ip->transport_header_len};
        }
    }
    return locate_ip(frame, p.link_type);
}

ParsedPacket dissect_frame(const FrameTime& time, uint32_t orig_len, SharedBytes data, uint32_t link_type,
                           TunnelMode tunnels) {
    ParsedPacket p;
    dissect_frame_into(p, time, orig_len, std::move(data), link_type, tunnels);
    return p;
}

void open_tunnels(ParsedPacket& p) {
    if (!p.ip || !might_carry_tunnel(p.ip->protocol)) return;
    // The link layer and the outer IP layer decoded again.
    const ByteView v = p.data.view();
    ParsedPacket scratch;  // takes the outer hardware addresses, which p has
    const IpStart at = ip_start(v, p.link_type, scratch);
    auto rest = at ? v.from(*at) : std::nullopt;
    auto ip = rest ? dissect_ip_inline(*rest) : std::nullopt;
    size_t ip_at = at.value_or(0);
    if (!ip || !open_tunnels(v, ip_at, *ip, p, nullptr)) return;
    // The outer layer's payload is not the inner one's, which ICMP has none of.
    p.payload_offset.reset();
    p.payload_end = 0;
    take_ip(*ip, ip_at, p);
}

void dissect_frame_into(ParsedPacket& p, const FrameTime& time, uint32_t orig_len, SharedBytes data,
                        uint32_t link_type, TunnelMode tunnels) {
    p.ts_sec = time.sec;
    p.ts_usec = time.usec;
    p.ts_nsec_rest = time.nsec_rest;
    p.ts_sec_high = time.sec_high;
    p.orig_len = orig_len;
    p.incl_len = uint32_t(data.size());
    p.link_type = link_type;
    p.data = std::move(data);
    ByteView v = p.data.view();
    const IpStart at = ip_start(v, link_type, p);
    if (!at) return;
    auto rest = v.from(*at);
    if (!rest) return;
    auto ip = dissect_ip_inline(*rest);
    if (!ip) return;
    size_t ip_at = *at;
    // Inner mode goes on from the outer IP layer just decoded, rather than
    // decoding the frame again, and takes only the innermost.
    if (tunnels == TunnelMode::Inner && might_carry_tunnel(ip->tuple.protocol)) [[unlikely]]
        open_tunnels(v, ip_at, *ip, p, nullptr);
    take_ip(*ip, ip_at, p);
}

const char* tunnel_name(TunnelKind kind) {
    switch (kind) {
        case TunnelKind::Vxlan: return "vxlan";
        case TunnelKind::Geneve: return "geneve";
        case TunnelKind::Gre: return "gre";
        case TunnelKind::GtpU: return "gtp-u";
        case TunnelKind::IpIp: return "ipip";
    }
    return "";
}

std::string tunnel_text(const ParsedPacket& p) {
    const TunnelWalk walk = walk_again(p);
    std::string text;
    for (uint8_t i = 0; i < walk.depth; ++i) {
        if (i) text += " / ";
        text += tunnel_name(walk.path[i].kind);
        if (walk.path[i].vni) text += " " + std::to_string(*walk.path[i].vni);
    }
    return text;
}

std::optional<IpTuple> tunnel_fragment_ip(const ParsedPacket& p) {
    const std::optional<size_t> at = walk_again(p).fragmented_at;
    auto rest = at ? p.data.view().from(*at) : std::nullopt;
    auto ip = rest ? dissect_ip(*rest) : std::nullopt;
    if (!ip) return std::nullopt;
    return ip->tuple;
}


}  // namespace flowsieve
