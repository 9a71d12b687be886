#include "flow/flow_table.hpp"

#include <cstring>

namespace flowsieve {

// Keys are short (a compact key is 15 or 39 bytes, a text about 30), so
// they are hashed eight bytes at a time, each word multiplied in and
// folded, with the last word read so that it ends with the key.
uint64_t FlowTable::hash_of(std::string_view key) {
    auto mix = [](uint64_t h, uint64_t word) {
        h = (h ^ word) * 0xBF58476D1CE4E5B9;
        return h ^ h >> 31;
    };
    const char* p = key.data();
    const size_t n = key.size();
    uint64_t h = n * 0x9E3779B97F4A7C15;
    uint64_t word;
    if (n < 8) {
        word = 0;
        for (size_t i = 0; i < n; ++i) word = word << 8 | uint8_t(p[i]);
        return mix(h, word);
    }
    for (size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&word, p + i, 8);
        h = mix(h, word);
    }
    std::memcpy(&word, p + n - 8, 8);
    return mix(h, word);
}

// Whether the key's text is stored at `stored`, which holds its length
// byte first. Compared a word at a time, as hashed, rather than by a call:
// every packet's key is compared once.
bool FlowTable::stored_at(uint64_t stored, std::string_view key) const {
    const char* t = texts_.data() + stored;
    const size_t n = key.size();
    if (uint8_t(t[0]) != n) return false;
    ++t;
    const char* k = key.data();
    if (n < 8) return std::memcmp(t, k, n) == 0;
    uint64_t a, b;
    for (size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&a, t + i, 8);
        std::memcpy(&b, k + i, 8);
        if (a != b) return false;
    }
    std::memcpy(&a, t + n - 8, 8);
    std::memcpy(&b, k + n - 8, 8);
    return a == b;
}

uint32_t FlowTable::find(std::string_view key) const {
    const uint64_t hash = hash_of(key);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.index == kAbsent) return kAbsent;
        if (s.hash == hash && stored_at(s.text, key)) return s.index;
    }
}

uint32_t FlowTable::insert(std::string_view key) {
    if (2 * (size_t(count_) + 1) > slots_.size()) grow();  // at most half full
    const uint64_t hash = hash_of(key);
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].index != kAbsent) i = (i + 1) & mask;
    slots_[i] = Slot{hash, texts_.size(), count_};
    texts_.push_back(char(uint8_t(key.size())));
    texts_.append(key);
    return count_++;
}

void FlowTable::grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.index == kAbsent) continue;
        size_t i = s.hash & mask;
        while (slots_[i].index != kAbsent) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

}  // namespace flowsieve
