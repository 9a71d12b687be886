// One decoded frame: the frame bytes plus the few facts that grouping,
// filtering and writing work from.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "util/shared_bytes.hpp"

namespace flowsieve {

struct IpAddress {
    uint8_t family = 4;  // 4 or 6
    std::array<uint8_t, 16> bytes{};  // IPv4 uses the first four

    size_t size() const { return family == 4 ? 4 : 16; }
    bool operator==(const IpAddress& o) const {
        // Sizes the compiler knows, so that no call to memcmp is made.
        if (family != o.family) return false;
        return family == 4 ? std::memcmp(bytes.data(), o.bytes.data(), 4) == 0
                           : std::memcmp(bytes.data(), o.bytes.data(), 16) == 0;
    }
};

struct IpTuple {
    IpAddress src_ip;
    IpAddress dst_ip;
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    uint8_t protocol = 0;
    // Flow keys leave ports at 0 for these protocols, but other tools name
    // their flows by the ICMP and ICMPv6 type and code and the SCTP ports.
    uint8_t icmp_type = 0;
    uint8_t icmp_code = 0;
    // The packet's TCP or UDP header lies this many bytes before its payload
    // (0: none was read), so that stream reassembly finds sequence numbers
    // and flags without decoding the frame again. Fills padding.
    uint8_t transport_header_len = 0;
    uint16_t sctp_src_port = 0;
    uint16_t sctp_dst_port = 0;
    // The identifier of an ICMP or ICMPv6 message that has one (echo),
    // which tells ping runs apart.
    uint16_t icmp_id = 0;
    bool has_icmp_id = false;
    // A TCP header's bytes after its ports (sequence and acknowledgment
    // numbers, data offset, flags and window), copied with the ports when
    // its first 20 bytes were captured (transport_header_len is then 20 or
    // more), so that connection tracking reads the frame no second time.
    // Copied as they are, decoded by those who read them.
    std::array<uint8_t, 12> tcp_header{};

    uint32_t tcp_seq() const { return decode_u32(tcp_header.data(), ByteOrder::Big); }
    uint32_t tcp_ack() const { return decode_u32(tcp_header.data() + 4, ByteOrder::Big); }
    uint8_t tcp_flags() const { return tcp_header[9]; }
    uint16_t tcp_window() const { return decode_u16(tcp_header.data() + 10, ByteOrder::Big); }
};

// Whether a packet's flow is that of the IP layer its link layer carries
// (outer), or that of the innermost IP layer found by opening the tunnels
// it travels in (inner).
enum class TunnelMode : uint8_t { Outer, Inner };

// The tunnels opened in inner mode.
enum class TunnelKind : uint8_t { Vxlan, Geneve, Gre, GtpU, IpIp };

// At most this many tunnels are opened, one inside the other.
inline constexpr int kMaxTunnels = 8;

// What inner mode found of a packet's tunnels, in eight bytes that every
// packet carries and copies as one: how many tunnels the packet is inside
// and the outermost of them; whether the packet's `fragment` and
// `fragment_id` tell of a tunnel's outer datagram rather than of `ip`'s
// (its later fragments go with the flow this packet opened); and the VNI
// of the innermost VXLAN or GENEVE header, part of the flow's identity.
struct TunnelFacts {
    uint8_t depth = 0;  // 0: outside tunnels
    TunnelKind outer = TunnelKind::Vxlan;
    bool outer_fragment = false;
    bool has_vni = false;
    uint32_t vni_value = 0;

    std::optional<uint32_t> vni() const { return has_vni ? std::optional<uint32_t>(vni_value) : std::nullopt; }
    void set_vni(std::optional<uint32_t> vni) {
        has_vni = vni.has_value();
        vni_value = vni.value_or(0);
    }
};

// A frame's time: whole microseconds, and the nanoseconds after them. A
// file in microseconds writes `usec`, one in nanoseconds `nsec()`; each
// holds what its input stated, even a value of a second or more.
struct FrameTime {
    uint32_t sec = 0;
    uint32_t usec = 0;
    uint16_t nsec_rest = 0;  // below 1000
    // The seconds past 32 bits (after the year 2106), which only a pcapng
    // interface's 64-bit ticks reach, up to 48 bits (64-bit microseconds
    // need 45). A classic pcap record keeps `sec` alone; a pcapng one the
    // whole time.
    uint16_t sec_high = 0;

    // Nanoseconds after `sec`: a damaged capture's microseconds may pass a
    // second, and as nanoseconds pass 32 bits.
    uint64_t nsec() const { return uint64_t(usec) * 1000 + nsec_rest; }
    uint64_t whole_seconds() const { return uint64_t(sec_high) << 32 | sec; }
};

using MacAddress = std::array<uint8_t, 6>;

// Which part of a fragmented IP datagram a packet is. A later fragment
// carries no transport header, so its ports are those of the first; one
// that never met its first fragment becomes Unmatched, with ports 0.
enum class FragmentPart : uint8_t { None, First, Later, Unmatched };

struct ParsedPacket {
    uint32_t ts_sec = 0;
    uint32_t ts_usec = 0;  // whole microseconds
    uint32_t orig_len = 0;
    uint32_t incl_len = 0;
    uint32_t link_type = 0;  // of the interface the frame came from
    uint32_t fragment_id = 0;  // the datagram's identification, for a fragment
    SharedBytes data;
    std::optional<uint64_t> payload_offset;
    // Where the payload ends in data, when payload_offset is present: the
    // end of the IP datagram, or of the captured bytes.
    uint64_t payload_end = 0;
    std::optional<IpTuple> ip;
    std::optional<MacAddress> src_mac;
    std::optional<MacAddress> dst_mac;
    std::optional<MacAddress> bssid;
    FragmentPart fragment = FragmentPart::None;  // here, fragment_id above and ts_nsec_rest fill padding
    // The nanoseconds after ts_usec, as read for a capture in nanoseconds.
    uint16_t ts_nsec_rest = 0;
    uint16_t ts_sec_high = 0;  // FrameTime::sec_high
    TunnelFacts tunnel;  // inner mode only
    // The IP datagram's length as its header states it (the captured bytes
    // from the IP header when it states none), as connection logs count.
    uint32_t ip_length = 0;

    // The nanoseconds field of a capture in nanoseconds, which it came from.
    uint32_t ts_nsec() const { return uint32_t(time().nsec()); }
    FrameTime time() const { return {ts_sec, ts_usec, ts_nsec_rest, ts_sec_high}; }
};

// The result of decoding an IP header: the tuple, where the payload starts,
// counted from the start of the IP header, and the datagram's length as the
// header states it (0 when it does not). The offsets use 0 for none, as
// neither can be 0 (both lie past the IP header): kept to 80 bytes, the
// struct is cleared with a few stores, where a larger one takes a string
// instruction on every packet.
struct IpDissection {
    IpTuple tuple;
    FragmentPart fragment = FragmentPart::None;
    uint32_t payload_offset = 0;
    uint32_t fragment_id = 0;
    uint32_t datagram_length = 0;
    // Where the transport header starts, for a packet that has one.
    uint32_t transport_offset = 0;
};

std::optional<IpDissection> dissect_ip(ByteView bytes);

// IP protocol numbers that more than the decoder looks at.
inline constexpr uint8_t kIpProtoTcp = 6;
inline constexpr uint8_t kIpProtoUdp = 17;
inline constexpr uint8_t kIpProtoIcmpv6 = 58;

// Where a frame's IP header starts and, unless the packet is a later
// fragment, its transport header, counted from the frame's start.
struct IpLayout {
    size_t ip_offset = 0;
    std::optional<size_t> transport_offset;
};

// Nothing for a frame without an IP layer. Decodes the frame again: for
// the few packets whose header bytes are wanted.
std::optional<IpLayout> locate_ip(ByteView frame, uint32_t link_type);
// The same for a packet decoded by dissect_frame, whose IP layer was found:
// decoded again only when its link layer is not plain Ethernet. The
// transport header is wanted only when `transport`.
std::optional<IpLayout> locate_ip(const ParsedPacket& p, bool transport);

// Whether frames of the link type are decoded as such; those of any other
// are read as raw IP, which rarely finds an IP header in them.
bool decodes_link_type(uint32_t link_type);

// Never fails: whatever cannot be decoded is left absent. In inner mode a
// tunnel that is cut short, malformed or carries no IP leaves the packet
// with the last IP layer it has.
ParsedPacket dissect_frame(const FrameTime& time, uint32_t orig_len, SharedBytes data, uint32_t link_type,
                           TunnelMode tunnels = TunnelMode::Outer);
// The same into a packet made up by default, where it is to stay.
void dissect_frame_into(ParsedPacket& p, const FrameTime& time, uint32_t orig_len, SharedBytes data,
                        uint32_t link_type, TunnelMode tunnels);
// Turns a packet dissected in outer mode into its inner-mode one.
void open_tunnels(ParsedPacket& p);

// The IP layer of the tunnel's outer datagram whose first fragment an
// inner-mode packet is (tunnel.outer_fragment), decoded again.
std::optional<IpTuple> tunnel_fragment_ip(const ParsedPacket& p);

// The tunnels an inner-mode packet is inside, from outer to inner, as text:
// "vxlan 101", "geneve 0 / vxlan 303", "gre", "gtp-u", "ipip"; empty
// outside tunnels.
std::string tunnel_text(const ParsedPacket& p);
const char* tunnel_name(TunnelKind kind);

// Where the tunnels that inner mode opens are found.
inline constexpr uint8_t kProtoIpv4InIp = 4;
inline constexpr uint8_t kProtoIpv6InIp = 41;
inline constexpr uint8_t kProtoGre = 47;
inline constexpr uint16_t kPortVxlan = 4789;  // destination port
inline constexpr uint16_t kPortGeneve = 6081;  // destination port
inline constexpr uint16_t kPortGreInUdp = 4754;  // destination port
inline constexpr uint16_t kPortGtpU = 2152;  // either port

// Whether an IP protocol may carry one of the tunnels inner mode opens: one
// look-up, which TCP and most other packets fail.
inline constexpr struct TunnelCarriers {
    bool by_protocol[256] = {};
    constexpr TunnelCarriers() {
        for (uint8_t p : {kProtoIpv4InIp, kIpProtoUdp, kProtoIpv6InIp, kProtoGre}) by_protocol[p] = true;
    }
} kTunnelCarriers;

inline bool might_carry_tunnel(uint8_t protocol) { return kTunnelCarriers.by_protocol[protocol]; }

// Whether a packet's IP layer carries one of the tunnels inner mode opens,
// judged by its protocol and ports alone: which one. Inline: outer mode
// asks it of every packet, to tell the user of the tunnels it leaves shut.
inline std::optional<TunnelKind> carried_tunnel(const IpTuple& ip) {
    if (!might_carry_tunnel(ip.protocol)) return std::nullopt;
    switch (ip.protocol) {
        case kProtoIpv4InIp:
        case kProtoIpv6InIp: return TunnelKind::IpIp;
        case kProtoGre: return TunnelKind::Gre;
        case kIpProtoUdp:
            if (ip.dst_port == kPortVxlan) return TunnelKind::Vxlan;
            if (ip.dst_port == kPortGeneve) return TunnelKind::Geneve;
            if (ip.dst_port == kPortGreInUdp) return TunnelKind::Gre;
            if (ip.dst_port == kPortGtpU || ip.src_port == kPortGtpU) return TunnelKind::GtpU;
            return std::nullopt;
        default: return std::nullopt;
    }
}

}  // namespace flowsieve
