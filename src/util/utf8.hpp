// UTF-8 sequences, one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace flowsieve {

struct CodePoint {
    char32_t value;
    size_t size;  // of its sequence, in bytes
};

// The code point whose sequence starts at text[at]; nothing for a byte that
// starts no valid sequence (cut short, overlong, a surrogate, past U+10FFFF).
inline std::optional<CodePoint> utf8_at(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return at + i < text.size() ? uint8_t(text[at + i]) : uint8_t(0); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) return CodePoint{lead, 1};
    const size_t size = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (size == 0) return std::nullopt;
    char32_t c = lead & (0x7F >> size);
    for (size_t i = 1; i < size; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
        c = c << 6 | (byte(i) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[size] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return std::nullopt;
    return CodePoint{c, size};
}

inline bool valid_utf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const auto c = utf8_at(text, at);
        if (!c) return false;
        at += c->size;
    }
    return true;
}

inline bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Text as a terminal may be given it: control characters and bytes that
// are not UTF-8 as \xHH, each byte of them, everything else as it is.
inline std::string visible(std::string_view text) {
    // Printable ASCII alone, as most text is: as it is. Every byte is
    // tested, without a branch, so that the test goes many bytes at a time.
    uint8_t other = 0;
    for (char c : text) other |= uint8_t(uint8_t(c - 0x20) >= 0x5F);
    if (!other) return std::string(text);
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const auto c = utf8_at(text, at);
        const size_t length = c ? c->size : 1;
        if (c && !is_control(c->value)) {
            out += text.substr(at, length);
        } else {
            for (size_t i = 0; i < length; ++i) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02x", unsigned(uint8_t(text[at + i])));
                out += escape;
            }
        }
        at += length;
    }
    return out;
}

}  // namespace flowsieve
