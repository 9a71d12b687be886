#include "cli/export.hpp"

#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "flow/strategy.hpp"

namespace flowsieve::cli {
namespace {

// The key the session strategy gives the flow's first packet.
std::string key_of(const archive::FlowRecord& r) {
    static constexpr archive::StoredAddress kNone{};
    if (r.src_addr == kNone && r.dst_addr == kNone) return "no_ip_" + std::to_string(r.id);
    ParsedPacket packet;
    packet.ip = IpTuple{r.src_ip(), r.dst_ip(), r.src_port, r.dst_port, r.proto};
    std::string key(keys_for(SplitStrategy::Session, packet).keys[0].text());
    sanitize_key(key.data(), key.size());
    return key;
}

}  // namespace

std::vector<std::string> flow_file_names(const archive::ArchiveReader& reader, const std::string& stem,
                                         const char* extension) {
    if (!extension) extension = reader.frame_format().extension();
    const auto& records = reader.records();
    std::vector<std::string> keys;
    keys.reserve(records.size());
    std::unordered_map<std::string, size_t> uses;
    for (const archive::FlowRecord& r : records) ++uses[keys.emplace_back(key_of(r))];

    // Unique keys keep their names; the others get their id appended, and
    // where that is taken too (keys made safe may read alike) a number
    // counted up per name, so that no candidate is tried twice.
    std::unordered_set<std::string> taken;
    for (const auto& [key, count] : uses)
        if (count == 1) taken.insert(key);
    std::unordered_map<std::string, uint64_t> next_number;
    std::vector<std::string> names;
    names.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        std::string key = keys[i];
        if (uses[key] > 1) {
            key += "_" + std::to_string(records[i].id);
            if (!taken.insert(key).second) {
                uint64_t& number = next_number.try_emplace(key, 2).first->second;
                std::string numbered;
                do numbered = key + "_" + std::to_string(number++);
                while (!taken.insert(numbered).second);
                key = std::move(numbered);
            }
        }
        names.push_back(stem + "_" + key + extension);
    }
    return names;
}

}  // namespace flowsieve::cli
