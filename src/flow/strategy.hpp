// Split strategies and the flow key texts that group packets.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "packet/packet.hpp"
#include "util/result.hpp"

namespace flowsieve {

// Connection keys as Session does, and starts another flow on the key
// where one connection ends and the next begins (see ConnectionRun).
enum class SplitStrategy : uint8_t { Session, Flow, Host, Hostpair, Mac, Bssid, Nosplit, Connection };

// A key held inline, so that keying a packet allocates nothing. The longest
// key, an IPv6 session's text inside a VXLAN or GENEVE tunnel, needs
// 12 + 3 + 2 * 39 + 2 * 5 + 4 bytes, and a later connection's "_" and
// number up to 8 digits more.
class FlowKey {
public:
    static constexpr size_t kCapacity = 125;

    FlowKey() = default;
    explicit FlowKey(std::string_view text) { append(text); }
    std::string_view text() const { return {buf_, len_}; }
    char* data() { return buf_; }  // for rewriting the text in place
    bool operator==(const FlowKey& o) const { return text() == o.text(); }

    void append(std::string_view s) {
        const size_t n = s.size() < kCapacity - len_ ? s.size() : kCapacity - len_;
        std::memcpy(buf_ + len_, s.data(), n);
        len_ = uint8_t(len_ + n);
    }
    // A piece of a size known when compiling, copied without a call.
    template <size_t N>
    void append(const void* bytes) {
        if (N <= size_t(kCapacity - len_)) {
            std::memcpy(buf_ + len_, bytes, N);
            len_ = uint8_t(len_ + N);
        }
    }
    void push(char c) {
        if (len_ < kCapacity) buf_[len_++] = c;
    }
    void clear() { len_ = 0; }

private:
    char buf_[kCapacity];
    uint8_t len_ = 0;
};

// One or two keys, in the order the packet is written to them.
struct FlowKeys {
    FlowKey keys[2];
    uint8_t count = 0;

    void add(const FlowKey& k) { keys[count++] = k; }
    // The next key, emptied, to be written in place.
    FlowKey& next() {
        FlowKey& k = keys[count++];
        k.clear();
        return k;
    }
    const FlowKey* begin() const { return keys; }
    const FlowKey* end() const { return keys + count; }
};

// `lowered` is `given` after full Unicode lower-casing; the error quotes the
// text as the caller gave it.
Result<SplitStrategy> parse_strategy(std::string_view given, std::string_view lowered);

// How keys are written: as text, which names files, or compact: the same
// fields as fixed-width bytes, equal for two packets exactly when their texts
// are, for numbering flows that need no names.
enum class KeyForm : uint8_t { Text, Compact };

// Appends `value` in decimal, as key texts write numbers.
void append_decimal(FlowKey& out, uint32_t value);

// Writes the packet's keys over whatever `out` held, so that a queue slot
// takes them without a copy. Mirror sessions of several virtual networks
// reuse one address space, so the VNI of a packet inside VXLAN or GENEVE
// (found in inner mode only) starts every key (vni101_6_10.0.1.5_...) but
// that of the one flow of all.
void keys_into(FlowKeys& out, SplitStrategy strategy, const ParsedPacket& packet, KeyForm form);

inline FlowKeys keys_for(SplitStrategy strategy, const ParsedPacket& packet, KeyForm form = KeyForm::Text) {
    FlowKeys out;
    keys_into(out, strategy, packet, form);
    return out;
}

// Makes a key safe as part of a file name, in place: each control
// character, DEL and each of "*./:<>?\| becomes "_".
void sanitize_key(char* key, size_t size);

// Address text used in keys: dotted IPv4, RFC 5952 IPv6.
void append_address(FlowKey& out, const IpAddress& address);

}  // namespace flowsieve
