// Small writers for capture files and frames, so that tests state packets
// rather than hex dumps, plus a helper that reads a whole capture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "parser/capture.hpp"

namespace fstest {

using namespace flowsieve;
using Bytes = std::vector<uint8_t>;

template <class... P>
Bytes cat(const P&... parts) {
    Bytes out;
    (out.insert(out.end(), std::begin(parts), std::end(parts)), ...);
    return out;
}

// Integers of the given widths, most significant byte first when big.
struct Int { uint64_t value; int width; };
inline Bytes ints(bool big, std::initializer_list<Int> fields) {
    Bytes b;
    for (Int f : fields)
        for (int i = 0; i < f.width; ++i) b.push_back(uint8_t(f.value >> 8 * (big ? f.width - 1 - i : i)));
    return b;
}
inline Bytes be16(uint16_t v) { return ints(true, {{v, 2}}); }
inline Bytes padded(Bytes b) { b.resize((b.size() + 3) & ~size_t(3)); return b; }

// Classic pcap. A record's orig 0 stands for its frame length; incl overrides the stated incl_len.
struct Record { uint32_t sec = 0, sub = 0; Bytes data; uint32_t orig = 0; std::optional<uint32_t> incl = {}; };

inline Bytes pcap(uint32_t link, const std::vector<Record>& records, bool big = false, bool nanos = false) {
    Bytes f = ints(big, {{nanos ? 0xA1B23C4D : 0xA1B2C3D4, 4}, {2, 2}, {4, 2}, {0, 8}, {65535, 4}, {link, 4}});
    for (const Record& r : records)
        f = cat(f, ints(big, {{r.sec, 4}, {r.sub, 4}, {r.incl.value_or(r.data.size()), 4}, {r.orig ? r.orig : r.data.size(), 4}}), r.data);
    return f;
}

// pcapng, each block in the byte order of the latest section header written.
struct Option { uint16_t code; Bytes value; };

struct PcapNg {
    bool big = false;
    Bytes bytes = {};

    // Type, total length (12 + body), body, trailer; then padding to 4 bytes.
    PcapNg& block(uint32_t type, const Bytes& body) {
        const uint64_t total = 12 + body.size();
        bytes = padded(cat(bytes, ints(big, {{type, 4}, {total, 4}}), body, ints(big, {{total, 4}})));
        return *this;
    }
    PcapNg& shb(std::optional<bool> order = {}) {
        big = order.value_or(big);
        return block(0x0A0D0D0A, ints(big, {{0x1A2B3C4D, 4}, {1, 2}, {0, 2}, {~uint64_t(0), 8}}));
    }
    PcapNg& idb(uint16_t link, const std::vector<Option>& options = {}) {
        Bytes body = ints(big, {{link, 2}, {0, 2}, {65535, 4}});
        for (const Option& o : options) body = padded(cat(body, ints(big, {{o.code, 2}, {o.value.size(), 2}}), o.value));
        return block(1, options.empty() ? body : cat(body, Bytes(4, 0)));
    }
    PcapNg& epb(uint32_t interface, uint64_t ticks, const Bytes& data, uint32_t orig = 0) {
        return block(6, padded(cat(ints(big, {{interface, 4}, {ticks >> 32, 4}, {ticks & 0xFFFFFFFF, 4}, {data.size(), 4},
                                              {orig ? orig : data.size(), 4}}), data)));
    }
    PcapNg& spb(uint32_t orig, const Bytes& data) { return block(3, padded(cat(ints(big, {{orig, 4}}), data))); }
};

// Frames.
inline const Bytes kMac1{2, 0, 0, 0, 0, 1}, kMac2{2, 0, 0, 0, 0, 2}, kMac3{2, 0, 0, 0, 0, 3}, kMac4{2, 0, 0, 0, 0, 4};

inline Bytes ether(uint16_t type, const Bytes& payload) { return cat(kMac1, kMac2, be16(type), payload); }
inline Bytes vlan(uint16_t inner, const Bytes& payload, uint16_t tag = 0x8100) {
    return ether(tag, cat(be16(100), be16(inner), payload));
}
// From 10.0.0.1 to 10.0.0.2. IHL below 5 still writes 20 bytes; above 5 adds zeroed options.
inline Bytes ipv4(uint8_t proto, const Bytes& payload, uint8_t ihl = 5) {
    Bytes h = cat(Bytes{uint8_t(0x40 | ihl), 0}, be16(uint16_t(4 * ihl + payload.size())),
                  Bytes{0, 0, 0, 0, 64, proto, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2});
    h.resize(std::max(20, 4 * ihl));
    return cat(h, payload);
}
inline Bytes ipv6(uint8_t next, const Bytes& payload, const Bytes& src = Bytes(16, 0x11)) {
    return cat(Bytes{0x60, 0, 0, 0}, be16(uint16_t(payload.size())), Bytes{next, 64}, src, Bytes(16, 0x22), payload);
}
// The IPv4 packet as a fragment: identification, offset in 8-byte units, more fragments.
inline Bytes fragment4(Bytes ip, uint16_t id, uint16_t offset, bool more) {
    const uint16_t field = uint16_t(offset | (more ? 0x2000 : 0));
    ip[4] = uint8_t(id >> 8), ip[5] = uint8_t(id), ip[6] = uint8_t(field >> 8), ip[7] = uint8_t(field);
    return ip;
}
// An IPv6 Fragment header.
inline Bytes frag6(uint8_t next, uint16_t offset, bool more, uint32_t id) {
    return cat(Bytes{next, 0}, be16(uint16_t(offset << 3 | more)), ints(true, {{id, 4}}));
}
// An extension header of `size` bytes; only its first two bytes are read.
inline Bytes ext6(uint8_t next, uint8_t len_byte, size_t size) { return cat(Bytes{next, len_byte}, Bytes(size - 2, 0)); }
inline Bytes tcp(uint16_t sport, uint16_t dport, const Bytes& payload = {}, uint8_t words = 5) {
    return cat(be16(sport), be16(dport), Bytes(8, 0), Bytes{uint8_t(words << 4), 0x18}, Bytes(4 * words - 14, 0), payload);
}
inline Bytes udp(uint16_t sport, uint16_t dport, const Bytes& payload = {}) {
    return cat(be16(sport), be16(dport), be16(uint16_t(8 + payload.size())), be16(0), payload);
}
inline Bytes snap(uint16_t type, const Bytes& payload) { return cat(Bytes{0xAA, 0xAA, 3, 0, 0, 0}, be16(type), payload); }
// 802.11 with addresses 1 to 3, and address 4 when both DS bits are set.
inline Bytes wifi(unsigned type, bool to_ds, bool from_ds, const Bytes& body) {
    return cat(Bytes{uint8_t(type << 2), uint8_t(to_ds | from_ds << 1), 0, 0}, kMac1, kMac2, kMac3, Bytes{0, 0},
               to_ds && from_ds ? kMac4 : Bytes{}, body);
}
inline Bytes radiotap(const Bytes& frame, uint16_t len = 8, uint8_t version = 0) {
    return cat(Bytes{version, 0, uint8_t(len), uint8_t(len >> 8)}, Bytes(std::max(len, uint16_t(4)) - 4, 0), frame);
}

// Reading.
inline SharedBytes shared(const Bytes& b) {
    auto store = std::make_shared<const Bytes>(b);  // exact size, so ASan sees over-reads
    return SharedBytes(store, store->data(), store->size());
}
inline ParsedPacket dissect(const Bytes& frame, uint32_t link = 1) { return dissect_frame({1, 2, 2000}, 3, shared(frame), link); }

struct Capture {
    uint32_t link_type = 0;
    std::vector<ParsedPacket> packets;
    std::optional<CaptureError> error;
    std::string error_text() const { return error ? error->text() : ""; }
};

inline Capture read_capture(SharedBytes input) {
    Capture c;
    auto reader = open_capture(std::move(input));
    if (!reader) {
        c.error = reader.error();
        return c;
    }
    c.link_type = reader.value()->link_type();
    while (c.packets.size() <= 1000000) {
        NextPacket next = reader.value()->next_packet();
        if (auto* e = std::get_if<CaptureError>(&next)) c.error = *e;
        if (!std::holds_alternative<ParsedPacket>(next)) return c;
        c.packets.push_back(std::get<ParsedPacket>(std::move(next)));
    }
    ADD_FAILURE() << "the reader does not come to an end";
    return c;
}
inline Capture read_capture(const Bytes& file) { return read_capture(shared(file)); }

}  // namespace fstest
