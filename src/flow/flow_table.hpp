// The flows of one split, by key text: an open-addressing table whose slots
// hold each key's hash and where its text lies, so that finding a key costs
// one probe into the slots and one read of the text. Keys are stored once,
// back to back, in order of first sight, which is also the order in which
// they are listed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace flowsieve {

class FlowTable {
public:
    static constexpr uint32_t kAbsent = UINT32_MAX;
    static constexpr size_t kMaxKeyLength = 255;

    // The index of the key, or kAbsent.
    uint32_t find(std::string_view key) const;
    // Adds a key that is not present, of at most kMaxKeyLength bytes, and
    // returns its index: 0, 1, 2, ...
    uint32_t insert(std::string_view key);

    uint32_t size() const { return count_; }

    // Calls f(key) for every key in order of first sight, while f returns true.
    template <class F>
    void for_each_key(F f) const {
        for (size_t at = 0; at < texts_.size(); at += 1 + uint8_t(texts_[at]))
            if (!f(text_at(at))) return;
    }

private:
    struct Slot {
        uint64_t hash = 0;
        uint64_t text = 0;  // offset in texts_ of the length byte
        uint32_t index = kAbsent;
    };

    static uint64_t hash_of(std::string_view key);
    bool stored_at(uint64_t stored, std::string_view key) const;
    std::string_view text_at(uint64_t offset) const {
        return std::string_view(texts_).substr(offset + 1, uint8_t(texts_[offset]));
    }
    void grow();

    std::vector<Slot> slots_ = std::vector<Slot>(1024);  // a power of two
    std::string texts_;  // each key as a length byte and its text
    uint32_t count_ = 0;
};

}  // namespace flowsieve
