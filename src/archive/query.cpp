#include "archive/query.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace flowsieve::archive {
namespace {

bool endpoint(const StoredAddress& addr, uint16_t port, const StoredAddress& want, uint16_t want_port) {
    return addr == want && port == want_port;
}

bool is_connection(const FlowRecord& r, const FiveTuple& t) {
    return r.proto == t.protocol &&
           ((endpoint(r.src_addr, r.src_port, t.a, t.a_port) && endpoint(r.dst_addr, r.dst_port, t.b, t.b_port)) ||
            (endpoint(r.src_addr, r.src_port, t.b, t.b_port) && endpoint(r.dst_addr, r.dst_port, t.a, t.a_port)));
}

// The span from the first to the last packet in capture order, whose
// times go back when the capture's clock did.
bool overlaps(const FlowRecord& r, const FlowQuery& q) {
    const uint64_t first = std::min(r.start_ns, r.end_ns), last = std::max(r.start_ns, r.end_ns);
    return (!q.since || last >= *q.since) && (!q.until || first <= *q.until);
}

// Index keys, each group of which holds a key that every matching flow is
// stored under.
struct IndexKey {
    IndexSection section;
    std::vector<uint8_t> bytes;
};
using KeyGroup = std::vector<IndexKey>;

IndexKey address_key(const StoredAddress& a) { return {IndexSection::Address, {a.begin(), a.end()}}; }
IndexKey port_key(uint16_t p) { return {IndexSection::Port, {uint8_t(p), uint8_t(p >> 8)}}; }
IndexKey protocol_key(uint8_t p) { return {IndexSection::Protocol, {p}}; }

std::vector<KeyGroup> index_keys(const FlowQuery& q) {
    std::vector<KeyGroup> groups;
    for (const StoredAddress& a : q.addresses) groups.push_back({address_key(a)});
    for (uint16_t p : q.ports) groups.push_back({port_key(p)});
    auto any_of = [&](const auto& values, auto key) {
        if (values.empty()) return;
        KeyGroup group;
        for (const auto& v : values) group.push_back(key(v));
        groups.push_back(std::move(group));
    };
    any_of(q.any_address, address_key);
    any_of(q.any_port, port_key);
    any_of(q.protocols, protocol_key);
    if (q.tuple) {
        groups.push_back({address_key(q.tuple->a)});
        groups.push_back({address_key(q.tuple->b)});
        groups.push_back({port_key(q.tuple->a_port)});
        groups.push_back({port_key(q.tuple->b_port)});
        groups.push_back({protocol_key(q.tuple->protocol)});
    }
    return groups;
}

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(b[i]))) return false;
    return true;
}

}  // namespace

bool name_matches(std::string_view pattern, std::string_view name) {
    if (pattern.starts_with("*.")) {
        const std::string_view below = pattern.substr(1);  // ".example.com"
        return name.size() > below.size() && same_text_ignoring_case(name.substr(name.size() - below.size()), below);
    }
    return same_text_ignoring_case(pattern, name);
}

bool matches(const ArchiveReader& reader, const FlowRecord& r, const FlowQuery& q) {
    if (q.nothing) return false;
    for (const StoredAddress& a : q.addresses)
        if (r.src_addr != a && r.dst_addr != a) return false;
    for (uint16_t p : q.ports)
        if (r.src_port != p && r.dst_port != p) return false;
    auto has = [](const auto& values, const auto& v) { return std::find(values.begin(), values.end(), v) != values.end(); };
    if (!q.any_address.empty() && !has(q.any_address, r.src_addr) && !has(q.any_address, r.dst_addr)) return false;
    if (!q.any_port.empty() && !has(q.any_port, r.src_port) && !has(q.any_port, r.dst_port)) return false;
    if (!q.protocols.empty() && !has(q.protocols, r.proto)) return false;
    if (!overlaps(r, q)) return false;
    if (q.tuple && !is_connection(r, *q.tuple)) return false;
    if (q.vni) {
        const std::optional<FlowFields> fields = reader.fields(r);
        if (!fields || fields->vni != q.vni) return false;
    }
    auto text = [](ByteView b) { return std::string_view(reinterpret_cast<const char*>(b.data()), b.size()); };
    if (q.app) {
        const std::optional<ByteView> app = reader.field(r, FlowFieldTag::App);
        if (!app || !same_text_ignoring_case(*q.app, text(*app))) return false;
    }
    if (!q.names.empty()) {
        const std::optional<ByteView> name = reader.field(r, FlowFieldTag::ServerName);
        if (!name || std::none_of(q.names.begin(), q.names.end(), [&](const std::string& pattern) {
                return name_matches(pattern, text(*name));
            }))
            return false;
    }
    if (!q.states.empty()) {
        const std::optional<ByteView> connection = reader.field(r, FlowFieldTag::Connection);
        const std::optional<ConnState> state = connection ? connection_state(*connection) : std::nullopt;
        if (!state || !has(q.states, *state)) return false;
    }
    return !q.community_id || flow_community_id(reader, r) == q.community_id;
}

FlowList select_flows(const ArchiveReader& reader, const FlowQuery& query) {
    if (query.empty()) return all_flows(reader);
    FlowList out;
    if (query.nothing) return out;
    const std::vector<KeyGroup> groups = reader.index() ? index_keys(query) : std::vector<KeyGroup>{};
    const bool by_name = reader.name_index() && !query.names.empty();
    if (groups.empty() && !by_name) {
        for (const FlowRecord& r : reader.records())
            if (matches(reader, r, query)) out.push_back(&r);
        return out;
    }
    // The group with the fewest candidates, the ids of each of its keys; a
    // group without flows rules the archive out.
    std::vector<ByteView> candidates;
    size_t fewest = SIZE_MAX;
    auto weigh = [&](std::vector<ByteView>& found) {
        size_t size = 0;
        for (const ByteView& ids : found) size += ids.size();
        if (size != 0 && size < fewest) {
            fewest = size;
            candidates = std::move(found);
        }
        return size != 0;
    };
    for (const KeyGroup& group : groups) {
        std::vector<ByteView> found;
        for (const IndexKey& key : group)
            found.push_back(index_lookup(*reader.index(), key.section, ByteView(key.bytes.data(), key.bytes.size())));
        if (!weigh(found)) return out;
    }
    if (by_name) {
        std::vector<ByteView> found;
        for (const std::string& pattern : query.names)
            found.push_back(name_index_lookup(*reader.name_index(), pattern_name_key(pattern)));
        if (!weigh(found)) return out;
    }
    // The ids of a group of several keys, one after another.
    std::vector<uint8_t> joined;
    if (candidates.size() > 1)
        for (const ByteView& ids : candidates) joined.insert(joined.end(), ids.data(), ids.data() + ids.size());
    const ByteView ids = candidates.size() > 1 ? ByteView(joined.data(), joined.size()) : candidates[0];
    add_indexed_flows(reader, ids, [&](const FlowRecord& r) { return matches(reader, r, query); }, out);
    // Each the first record with its id: the ids differ.
    std::sort(out.begin(), out.end(), [](const FlowRecord* a, const FlowRecord* b) { return a->id < b->id; });
    return out;
}

Result<PacketMerge> PacketMerge::of(const std::vector<Selection>& selections, const FrameFileFormat& empty_format,
                                    std::optional<uint32_t> only) {
    PacketMerge merge;
    merge.only_ = only;
    // The output holds every link type, the finest precision and the
    // largest snap length of the archives that contribute flows.
    std::optional<FrameFileFormat> format;
    for (const Selection& s : selections) {
        if (s.flows.empty()) continue;
        if (format) format->add(s.reader->frame_format());
        else format = s.reader->frame_format();
    }
    merge.format_ = format.value_or(empty_format);
    if (only) merge.format_.link_types = {*only};

    for (size_t a = 0; a < selections.size(); ++a) {
        merge.budgets_.emplace_back(*selections[a].reader);
        for (const FlowRecord* r : selections[a].flows) {
            auto cursor = PacketCursor::of(*selections[a].reader, *r);
            if (!cursor) return std::move(cursor).error();
            merge.cursors_.push_back(std::move(cursor).value());
            merge.budget_of_.push_back(a);
        }
    }
    merge.heap_.reserve(merge.cursors_.size());
    for (size_t c = 0; c < merge.cursors_.size(); ++c) merge.advance(c);
    return merge;
}

// Puts the cursor's next packet within its archive's budget on the heap.
void PacketMerge::advance(size_t c) {
    while (auto p = cursors_[c].next()) {
        if ((only_ && p->link_type != *only_) || !budgets_[budget_of_[c]].take(p->record_size())) continue;
        heap_.push_back(Head{p->nanos(), c, *p});
        std::push_heap(heap_.begin(), heap_.end(), later);
        return;
    }
}

std::optional<PacketRecord> PacketMerge::next() {
    if (heap_.empty()) return std::nullopt;
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Head head = heap_.back();
    heap_.pop_back();
    advance(head.cursor);
    return head.packet;
}

}  // namespace flowsieve::archive
