#include "flow/flow_table.hpp"

#include <functional>

namespace flowsieve {

uint64_t FlowTable::hash_of(std::string_view key) { return std::hash<std::string_view>{}(key); }

uint32_t FlowTable::find(std::string_view key) const {
    const uint64_t hash = hash_of(key);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.index == kAbsent) return kAbsent;
        if (s.hash == hash && text_at(s.text) == key) return s.index;
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
