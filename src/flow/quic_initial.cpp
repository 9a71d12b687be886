#include "flow/quic_initial.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "flow/naming.hpp"
#include "util/libcrypto.hpp"

namespace flowsieve {
namespace {

constexpr uint32_t kVersion1 = 1;
constexpr uint32_t kVersion2 = 0x6b3343cf;
constexpr uint8_t kSalt1[20] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr uint8_t kSalt2[20] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                                0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
constexpr size_t kMaxConnectionId = 20;
constexpr size_t kTagSize = 16;
constexpr size_t kSampleSize = 16;

// A QUIC variable-length integer at `at`, which it moves past.
std::optional<uint64_t> varint(ByteView b, size_t& at) {
    const auto first = b.u8(at);
    if (!first) return std::nullopt;
    const size_t size = size_t(1) << (*first >> 6);
    if (!b.has(at, size)) return std::nullopt;
    uint64_t v = *first & 0x3F;
    for (size_t i = 1; i < size; ++i) v = v << 8 | b.data()[at + i];
    at += size;
    return v;
}

// The Initial packet type of each version, in the first byte's bits 4 and 5.
std::optional<uint8_t> initial_type(uint32_t version) {
    if (version == kVersion1) return 0;
    if (version == kVersion2) return 1;
    return std::nullopt;
}

// The long header's fields up to the packet number.
struct LongHeader {
    uint32_t version;
    ByteView dcid;
    size_t pn_offset;
    size_t end;  // of the packet
    bool initial;
};

std::optional<LongHeader> long_header(ByteView b, size_t start) {
    const auto first = b.u8(start);
    const auto version = b.u32(start + 1, ByteOrder::Big);
    if (!first || !version || (*first & 0xC0) != 0xC0) return std::nullopt;
    const auto type = initial_type(*version);
    if (!type) return std::nullopt;
    LongHeader h;
    h.version = *version;
    h.initial = (*first >> 4 & 3) == *type;
    size_t at = start + 5;
    const auto dcid_size = b.u8(at);
    if (!dcid_size || *dcid_size > kMaxConnectionId) return std::nullopt;
    const auto dcid = b.sub(at + 1, *dcid_size);
    if (!dcid) return std::nullopt;
    h.dcid = *dcid;
    at += 1 + *dcid_size;
    const auto scid_size = b.u8(at);
    if (!scid_size || *scid_size > kMaxConnectionId || !b.has(at + 1, *scid_size)) return std::nullopt;
    at += 1 + *scid_size;
    // Retry packets have no length; only Initial, 0-RTT and Handshake are read past.
    if ((*first >> 4 & 3) == (h.version == kVersion1 ? 3 : 0)) return std::nullopt;
    if (h.initial) {
        const auto token = varint(b, at);
        if (!token || !b.has(at, *token)) return std::nullopt;
        at += size_t(*token);
    }
    const auto length = varint(b, at);
    if (!length || !b.has(at, *length)) return std::nullopt;
    h.pn_offset = at;
    h.end = at + size_t(*length);
    return h;
}

// HKDF-Expand-Label of TLS 1.3 with an empty context.
bool expand_label(const uint8_t secret[32], std::string_view label, uint8_t* out, size_t size) {
    uint8_t info[64];
    const std::string_view prefix = "tls13 ";
    const size_t label_size = prefix.size() + label.size();
    info[0] = uint8_t(size >> 8);
    info[1] = uint8_t(size);
    info[2] = uint8_t(label_size);
    std::memcpy(info + 3, prefix.data(), prefix.size());
    std::memcpy(info + 3 + prefix.size(), label.data(), label.size());
    info[3 + label_size] = 0;
    return crypto::hkdf_expand(secret, info, 4 + label_size, out, size);
}

}  // namespace

bool is_quic_initial(ByteView datagram) {
    const auto h = long_header(datagram, 0);
    return h && h->initial;
}

// The client's Initial keys come from the first Initial's destination
// connection ID, whatever IDs later packets carry.
bool QuicInitials::open_packet(ByteView b, size_t start, size_t& next) {
    const auto h = long_header(b, start);
    if (!h) return false;
    next = h->end;
    if (!h->initial) return true;
    if (!keys_) {
        version_ = h->version;
        const bool v1 = h->version == kVersion1;
        uint8_t initial[32], client[32];
        Keys k;
        if (!crypto::hkdf_extract(v1 ? kSalt1 : kSalt2, sizeof kSalt1, h->dcid.data(), h->dcid.size(), initial) ||
            !expand_label(initial, "client in", client, sizeof client) ||
            !expand_label(client, v1 ? "quic key" : "quicv2 key", k.key.data(), k.key.size()) ||
            !expand_label(client, v1 ? "quic iv" : "quicv2 iv", k.iv.data(), k.iv.size()) ||
            !expand_label(client, v1 ? "quic hp" : "quicv2 hp", k.hp.data(), k.hp.size()))
            return false;
        keys_ = k;
    }
    if (h->version != version_) return false;
    // Header protection: the sample assumes a packet number of four bytes.
    const auto sample = b.sub(h->pn_offset + 4, kSampleSize);
    if (!sample || h->end < h->pn_offset + 4 + kSampleSize) return false;
    uint8_t mask[16];
    if (!crypto::aes128_ecb(keys_->hp.data(), sample->data(), mask)) return false;
    std::vector<uint8_t> header(b.data() + start, b.data() + h->pn_offset + 4);
    header[0] ^= mask[0] & 0x0F;
    const size_t pn_size = (header[0] & 3) + 1;
    const size_t pn_at = h->pn_offset - start;
    header.resize(pn_at + pn_size);
    uint64_t pn = 0;
    for (size_t i = 0; i < pn_size; ++i) {
        header[pn_at + i] ^= mask[1 + i];
        pn = pn << 8 | header[pn_at + i];
    }
    const size_t sealed_at = h->pn_offset + pn_size;
    if (h->end < sealed_at + kTagSize) return false;
    uint8_t nonce[12];
    std::memcpy(nonce, keys_->iv.data(), sizeof nonce);
    for (size_t i = 0; i < 8; ++i) nonce[11 - i] ^= uint8_t(pn >> (8 * i));
    std::vector<uint8_t> plain(h->end - sealed_at - kTagSize);
    if (!crypto::aes128_gcm_open(keys_->key.data(), nonce, header.data(), header.size(), b.data() + sealed_at,
                                 h->end - sealed_at, plain.data()))
        return false;
    return add_frames(ByteView(plain.data(), plain.size()));
}

// The frames an Initial packet may carry: PADDING, PING, ACK, CRYPTO and
// CONNECTION_CLOSE; any other ends the packet.
bool QuicInitials::add_frames(ByteView p) {
    for (size_t at = 0; at < p.size();) {
        const auto type = varint(p, at);
        if (!type) return false;
        if (*type == 0x00 || *type == 0x01) continue;
        if (*type == 0x02 || *type == 0x03) {
            std::optional<uint64_t> ranges;
            if (!varint(p, at) || !varint(p, at) || !(ranges = varint(p, at)) || !varint(p, at)) return false;
            for (uint64_t r = 0; r < *ranges; ++r)
                if (!varint(p, at) || !varint(p, at)) return false;
            if (*type == 0x03 && (!varint(p, at) || !varint(p, at) || !varint(p, at))) return false;
            continue;
        }
        if (*type != 0x06) return *type == 0x1C;
        const auto offset = varint(p, at);
        const auto length = varint(p, at);
        if (!offset || !length || !p.has(at, *length)) return false;
        // Beyond the first bytes where a ClientHello lies, nothing is wanted.
        if (*offset < kMaxGathered) {
            const size_t n = size_t(std::min<uint64_t>(*length, kMaxGathered - *offset));
            const size_t end = size_t(*offset) + n;
            if (crypto_.size() < end) {
                crypto_.resize(end);
                have_.resize(end);
            }
            std::memcpy(crypto_.data() + *offset, p.data() + at, n);
            std::fill(have_.begin() + ptrdiff_t(*offset), have_.begin() + ptrdiff_t(end), true);
        }
        at += size_t(*length);
    }
    return true;
}

void QuicInitials::add(ByteView datagram) {
    started_ = true;
    if (failed_) return;
    if (!crypto::available()) {
        failed_ = true;
        return;
    }
    // Coalesced packets: long headers one after another, until one that is not.
    for (size_t at = 0; at < datagram.size();) {
        size_t next = at;
        const auto first = datagram.u8(at);
        if (!first || !(*first & 0x80)) break;
        if (!open_packet(datagram, at, next)) {
            failed_ = at == 0;  // a packet after the first may be of another kind
            break;
        }
        at = next;
    }
    const bool not_hello = !have_.empty() && have_[0] && crypto_[0] != 1;
    if (not_hello || (crypto_.size() >= kMaxGathered && !client_hello())) failed_ = true;
}

std::optional<ByteView> QuicInitials::client_hello() const {
    const ByteView stream(crypto_.data(), crypto_.size());
    size_t whole = 0;
    while (whole < have_.size() && have_[whole]) ++whole;
    if (whole < 4 || crypto_[0] != 1) return std::nullopt;
    const size_t body = size_t(crypto_[1]) << 16 | size_t(crypto_[2]) << 8 | crypto_[3];
    if (whole - 4 < body) return std::nullopt;
    return stream.sub(4, body);
}

}  // namespace flowsieve
