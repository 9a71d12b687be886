#include "archive/writer.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "archive/format.hpp"
#include "flow/naming.hpp"
#include "flow/packet_stream.hpp"
#include "flow/source.hpp"
#include "parser/pcap_format.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/unique_fd.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve::archive {
namespace {

constexpr size_t kWriteBufferSize = 256 * 1024;
constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
static_assert(kPcapRecordHeaderSize == kRecordHeaderSize);

// The packet's time as the archive stores it: nanoseconds since the epoch in
// an archive in nanoseconds, microseconds otherwise.
uint64_t stored_time(const ParsedPacket& p, bool nanoseconds) {
    if (nanoseconds) return uint64_t(p.ts_sec) * 1000000000 + p.ts_nsec();
    return uint64_t(p.ts_sec) * 1000000 + p.ts_usec;
}

// The header of an archive of a capture whose frames are written out so:
// version 2 unless the capture needs more.
ArchiveHeader header_for(const FrameFileFormat& format) {
    ArchiveHeader h;
    h.link_type = format.link_types.front();
    // Archives of captures whose records fit 65535 bytes keep the zeros they always had.
    h.snap_length = format.snap_length == kPcapWrittenSnapLength ? 0 : format.snap_length;
    if (format.nanoseconds) h.flags |= kFlagNanoseconds;
    if (format.pcapng()) {
        h.flags |= kFlagLinkTypePerPacket;
        h.link_types = format.link_types;
    }
    if (h.flags) h.version = kVersionLossless;
    return h;
}

// Every flow's offset list, encoded as its packets arrive: a byte or two
// per packet, in small chunks drawn from large shared blocks, so that a flow
// (most are a few packets long) costs no allocation of its own. Blocks never
// move, so lists link their chunks directly.
class OffsetLists {
    struct Chunk;

public:
    // One flow's list: its first and last chunks and its length in bytes.
    struct List {
        Chunk* first = nullptr;
        Chunk* last = nullptr;
        uint64_t size = 0;
    };

    void append(List& list, const uint8_t* bytes, size_t n) {
        size_t at = size_t(list.size % kChunkBytes);  // 0: the next byte starts a chunk
        list.size += n;
        for (size_t i = 0; i < n; ++i) {
            if (at == 0) add_chunk(list);
            list.last->bytes[at] = bytes[i];
            at = at + 1 == kChunkBytes ? 0 : at + 1;
        }
    }

    // Calls add(bytes, size) for each run of the list's bytes in order, while it succeeds.
    template <class Add>
    static Status<> read(const List& list, Add add) {
        uint64_t left = list.size;
        for (const Chunk* c = list.first; left; c = c->next) {
            const size_t n = size_t(std::min<uint64_t>(left, kChunkBytes));
            if (auto st = add(c->bytes, n); !st) return st;
            left -= n;
        }
        return {};
    }

private:
    static constexpr size_t kChunkBytes = 24;
    static constexpr size_t kBlockChunks = 4096;
    struct Chunk {
        uint8_t bytes[kChunkBytes];
        Chunk* next;
    };

    void add_chunk(List& list) {
        if (used_ == kBlockChunks) {
            blocks_.push_back(std::make_unique_for_overwrite<Chunk[]>(kBlockChunks));
            used_ = 0;
        }
        Chunk* c = &blocks_.back()[used_++];
        c->next = nullptr;
        (list.first ? list.last->next : list.first) = c;
        list.last = c;
    }

    std::vector<std::unique_ptr<Chunk[]>> blocks_;
    size_t used_ = kBlockChunks;  // chunks taken from the last block
};

// The accumulator of one flow.
struct FlowEntry {
    OffsetLists::List offsets;
    uint64_t last_position = 0;
    std::optional<IpTuple> tuple;
    uint64_t total_bytes = 0;
    uint64_t start = 0;  // in the archive's unit
    uint64_t end = 0;
    uint32_t packet_count = 0;
    NamingSlot naming;  // its name and application, from its first packets
    ConnTracker connection;  // its state, history and counts by originator and responder

    void add_position(OffsetLists& lists, uint64_t position) {
        uint8_t bytes[kMaxVarintSize];
        size_t n;
        if (offsets.size == 0) {
            encode_u64le(bytes, position);
            n = kOffsetListHead;
        } else {
            n = encode_varint(position - last_position, bytes);
        }
        lists.append(offsets, bytes, n);
        last_position = position;
    }
};

// The output file with its write buffer. Positions count every byte handed
// to it, buffered or written. Frames are lent to the buffer, so the input
// must outlive the file; everything else is copied.
class ArchiveFile {
public:
    ArchiveFile(UniqueFd fd, const ArchiveHeader& header)
        : fd_(std::move(fd)),
          buffer_(kWriteBufferSize),
          nanoseconds_(header.nanoseconds()),
          link_type_per_packet_(header.link_type_per_packet()) {}
    // A file given up on keeps what was buffered (failures ignored).
    ~ArchiveFile() {
        if (fd_.valid()) (void)flush();
    }

    uint64_t position() const { return position_; }
    int fd() const { return fd_.get(); }

    [[gnu::always_inline]] Status<> write(const uint8_t* data, size_t size) {
        position_ += size;
        return buffer_.write_copy(fd_.get(), data, size);
    }

    Status<> write_record(const ParsedPacket& p) {
        const uint32_t size = uint32_t(p.data.size());
        if (link_type_per_packet_)
            if (auto st = write_link_type(p.link_type); !st) return st;
        uint8_t header[kRecordHeaderSize];
        encode_pcap_record_header(header, p.ts_sec, nanoseconds_ ? p.ts_nsec() : p.ts_usec, size, p.orig_len);
        if (auto st = write(header, sizeof header); !st) return st;
        position_ += size;
        return buffer_.write(fd_.get(), p.data.data(), size);
    }

    // Apart from write_record, whose every packet it would slow down
    // otherwise: most archives have no link type per packet.
    [[gnu::noinline]] Status<> write_link_type(uint32_t link_type) {
        uint8_t bytes[kRecordLinkTypeSize];
        encode_u32le(bytes, link_type);
        return write(bytes, sizeof bytes);
    }

    // Room for n more bytes in the buffer, writing it out if needed.
    Status<> make_room(size_t n) {
        if (n <= buffer_.room()) return {};
        return flush();
    }

    Status<> flush() { return buffer_.flush(fd_.get()); }

    // Writes out the buffer and hands over the descriptor, with the file's lock.
    Result<UniqueFd> release() {
        if (auto st = flush(); !st) return std::move(st).error();
        return std::move(fd_);
    }

private:
    UniqueFd fd_;
    WriteBuffer buffer_;
    uint64_t position_ = 0;
    bool nanoseconds_;
    bool link_type_per_packet_;
};

// Small pieces gathered on the stack and handed to the file a few kilobytes
// at a time: handing over each index entry or flow record alone would cost
// more than the bytes themselves.
class Staging {
public:
    static constexpr size_t kSize = 8192;

    explicit Staging(ArchiveFile& file) : file_(file) {}

    // Where the next n bytes (at most kSize) go, once `room` has succeeded.
    uint8_t* at() { return bytes_ + used_; }
    Status<> room(size_t n) {
        if (n <= kSize - used_) return {};
        return flush();
    }
    void advance(size_t n) { used_ += n; }
    Status<> add(const uint8_t* data, size_t size) {
        while (size) {
            if (auto st = room(1); !st) return st;
            const size_t n = std::min(size, kSize - used_);
            std::memcpy(at(), data, n);
            advance(n);
            data += n;
            size -= n;
        }
        return {};
    }
    Status<> flush() {
        const size_t n = used_;
        used_ = 0;
        return file_.write(bytes_, n);
    }

private:
    ArchiveFile& file_;
    uint8_t bytes_[kSize];
    size_t used_ = 0;
};

// An address as two integers that order as its bytes do, so that sorting
// compares two words rather than calling memcmp.
struct AddressKey {
    uint64_t high = 0;
    uint64_t low = 0;

    auto operator<=>(const AddressKey&) const = default;
};

AddressKey address_key(const StoredAddress& a) {
    uint64_t words[2] = {0, 0};
    for (size_t i = 0; i < kAddressSize; ++i) words[i / 8] = words[i / 8] << 8 | a[i];
    return {words[0], words[1]};
}

size_t encode_address_key(const AddressKey& key, uint8_t* out) {
    for (size_t i = 0; i < kAddressSize; ++i)
        out[i] = uint8_t((i < 8 ? key.high : key.low) >> (56 - 8 * (i % 8)));
    return kAddressSize;
}

// Numbers the distinct addresses in order of first sight, through an
// open-addressing table at most half full.
class AddressNumbers {
public:
    uint32_t number(const AddressKey& key) {
        if (2 * (keys_.size() + 1) > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        size_t i = hash(key) & mask;
        for (; slots_[i] != kEmpty; i = (i + 1) & mask)
            if (keys_[slots_[i]] == key) return slots_[i];
        slots_[i] = uint32_t(keys_.size());
        keys_.push_back(key);
        return slots_[i];
    }
    const std::vector<AddressKey>& keys() const { return keys_; }

private:
    static constexpr uint32_t kEmpty = kU32Max;

    static size_t hash(const AddressKey& key) {
        uint64_t h = (key.high ^ key.low * 0x9E3779B97F4A7C15) * 0xBF58476D1CE4E5B9;
        return size_t(h ^ h >> 31);
    }
    void grow() {
        std::vector<uint32_t> slots(slots_.size() * 2, kEmpty);
        const size_t mask = slots.size() - 1;
        for (uint32_t n : slots_) {
            if (n == kEmpty) continue;
            size_t i = hash(keys_[n]) & mask;
            while (slots[i] != kEmpty) i = (i + 1) & mask;
            slots[i] = n;
        }
        slots_.swap(slots);
    }

    std::vector<uint32_t> slots_ = std::vector<uint32_t>(1024, kEmpty);  // a power of two
    std::vector<AddressKey> keys_;
};

// Each pair's rank among the distinct addresses, and their number. The
// distinct addresses, far fewer than the pairs, are sorted alone.
template <class Pair>
size_t rank_addresses(const std::vector<Pair>& pairs, std::vector<uint32_t>& ranks) {
    AddressNumbers numbers;
    for (size_t i = 0; i < pairs.size(); ++i) ranks[i] = numbers.number(pairs[i].first);
    const std::vector<AddressKey>& keys = numbers.keys();
    std::vector<uint32_t> order(keys.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
    std::vector<uint32_t> rank_of(keys.size());
    for (size_t r = 0; r < order.size(); ++r) rank_of[order[r]] = uint32_t(r);
    for (uint32_t& r : ranks) r = rank_of[r];
    return keys.size();
}

// One index section: (key, flow id) pairs, sorted and without repeats, so
// that equal keys form one group. Pairs are added in ascending id order.
template <class Key>
struct Section {
    std::vector<std::pair<Key, uint64_t>> pairs;

    // A stable counting sort by each key's rank keeps the ids ascending
    // within each key, in linear time. A port or protocol is its own rank.
    void prepare() {
        std::vector<uint32_t> ranks(pairs.size());
        size_t rank_count;
        if constexpr (std::is_same_v<Key, AddressKey>) {
            rank_count = rank_addresses(pairs, ranks);
        } else {
            for (size_t i = 0; i < pairs.size(); ++i) ranks[i] = pairs[i].first;
            rank_count = size_t(1) << (8 * sizeof(Key));
        }
        std::vector<size_t> starts(rank_count + 1);
        for (uint32_t r : ranks) ++starts[r + 1];
        for (size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
        std::vector<std::pair<Key, uint64_t>> sorted(pairs.size());
        for (size_t i = 0; i < pairs.size(); ++i) sorted[starts[ranks[i]]++] = pairs[i];
        pairs.swap(sorted);
        pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    }
    uint64_t length(size_t key_bytes) const {
        uint64_t groups = 0;
        for (size_t i = 0; i < pairs.size(); ++i) groups += i == 0 || pairs[i].first != pairs[i - 1].first;
        return 4 + groups * (key_bytes + 4) + 8 * uint64_t(pairs.size());
    }
    // encode_key(key, out) writes the key bytes and returns their number.
    template <class EncodeKey>
    Status<> write(Staging& out, EncodeKey encode_key) const {
        if (auto st = out.room(4); !st) return st;
        encode_u32le(out.at(), uint32_t(pairs.size()));
        out.advance(4);
        for (size_t i = 0; i < pairs.size();) {
            size_t end = i;
            while (end < pairs.size() && pairs[end].first == pairs[i].first) ++end;
            if (auto st = out.room(kAddressSize + 4); !st) return st;
            const size_t n = encode_key(pairs[i].first, out.at());
            encode_u32le(out.at() + n, uint32_t(end - i));
            out.advance(n + 4);
            for (; i < end; ++i) {
                if (auto st = out.room(8); !st) return st;
                encode_u64le(out.at(), pairs[i].second);
                out.advance(8);
            }
        }
        return {};
    }
};

Status<> write_index(Staging& out, const std::vector<FlowRecord>& records) {
    Section<AddressKey> addresses;
    Section<uint16_t> ports;
    Section<uint8_t> protocols;
    addresses.pairs.reserve(2 * records.size());
    ports.pairs.reserve(2 * records.size());
    protocols.pairs.reserve(records.size());
    for (const FlowRecord& r : records) {
        addresses.pairs.emplace_back(address_key(r.src_addr), r.id);
        addresses.pairs.emplace_back(address_key(r.dst_addr), r.id);
        ports.pairs.emplace_back(r.src_port, r.id);
        ports.pairs.emplace_back(r.dst_port, r.id);
        protocols.pairs.emplace_back(r.proto, r.id);
    }
    addresses.prepare();
    ports.prepare();
    protocols.prepare();

    const uint64_t lengths[3] = {addresses.length(kAddressSize), ports.length(2), protocols.length(1)};
    IndexHeader header;
    uint64_t offset = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (lengths[i] > kU32Max) return Error{"Index section exceeds 4294967295 bytes"};
        header.sections[i] = {offset, uint32_t(lengths[i])};
        offset += lengths[i];
    }
    if (auto st = out.room(kIndexHeaderSize); !st) return st;
    encode_index_header(out.at(), header);
    out.advance(kIndexHeaderSize);
    if (auto st = addresses.write(out, encode_address_key); !st) return st;
    if (auto st = ports.write(out, [](uint16_t port, uint8_t* bytes) {
            encode_u16le(bytes, port);
            return size_t(2);
        });
        !st)
        return st;
    return protocols.write(out, [](uint8_t proto, uint8_t* bytes) {
        bytes[0] = proto;
        return size_t(1);
    });
}

FlowRecord record_of(const FlowEntry& e, uint64_t id, uint64_t time_unit) {
    FlowRecord r;
    r.id = id;
    if (e.tuple) {
        r.proto = e.tuple->protocol;
        r.src_addr = encode_address(e.tuple->src_ip);
        r.dst_addr = encode_address(e.tuple->dst_ip);
        r.src_port = e.tuple->src_port;
        r.dst_port = e.tuple->dst_port;
        r.flags = FlowRecord::flags_for(e.tuple->src_ip, e.tuple->dst_ip);
    }
    r.packet_count = e.packet_count;
    r.start_ns = e.start * time_unit;
    r.end_ns = e.end * time_unit;
    r.total_bytes = e.total_bytes;
    return r;
}

// Every flow's fields: its connection facts, name and application beside
// the tunnels of those in `fields` (by ascending id), names moved out of the
// flows.
std::vector<FlowFields> all_fields(std::vector<FlowEntry>& flows, std::vector<FlowFields>& fields) {
    std::vector<FlowFields> all;
    all.reserve(flows.size());
    size_t next = 0;  // in fields
    for (size_t i = 0; i < flows.size(); ++i) {
        const uint64_t id = i + 1;
        const bool listed = next < fields.size() && fields[next].id == id;
        FlowFields& f = all.emplace_back(listed ? std::move(fields[next++]) : FlowFields{id});
        NamingSlot& naming = flows[i].naming;
        if (naming.app() != App::None) {
            f.server_name = naming.take_name();
            f.app = app_name(naming.app());
        }
        f.connection = flows[i].connection.summary();
    }
    return all;
}

// The name index's (key, flow id) pairs of the flows with a server name,
// sorted; empty when none has one.
std::vector<std::pair<uint64_t, uint64_t>> name_index_pairs(const std::vector<FlowFields>& fields) {
    using Pair = std::pair<uint64_t, uint64_t>;
    std::vector<Pair> pairs;
    // Every flow has fields, few have names; most names have two dots.
    pairs.reserve(3 * size_t(std::count_if(fields.begin(), fields.end(),
                                           [](const FlowFields& f) { return !f.server_name.empty(); })));
    for (const FlowFields& f : fields)
        if (!f.server_name.empty()) for_each_name_key(f.server_name, [&](uint64_t key) { pairs.emplace_back(key, f.id); });
    if (pairs.size() < 64) {
        std::sort(pairs.begin(), pairs.end());
        return pairs;
    }
    // Keys are hashes, spread evenly: placed by their top bits, about one
    // to a bucket, in one pass; then each put in place within its bucket
    // by its key alone. Flows came by ascending id, and neither step passes
    // one of a key over another of it, so that the flows of a key, as the
    // suffixes most names share have many, stay in order. Keys made to
    // meet in a bucket, too many moves, are sorted whole.
    const int bits = std::bit_width(pairs.size() - 1);
    const int shift = 64 - bits;
    std::vector<uint32_t> at((size_t(1) << bits) + 1);
    for (const Pair& p : pairs) ++at[(p.first >> shift) + 1];
    for (size_t b = 1; b < at.size(); ++b) at[b] += at[b - 1];
    std::vector<Pair> sorted(pairs.size());
    for (const Pair& p : pairs) sorted[at[p.first >> shift]++] = p;
    size_t moves = 0;
    for (size_t i = 1; i < sorted.size(); ++i) {
        const Pair p = sorted[i];
        size_t j = i;
        for (; j > 0 && p.first < sorted[j - 1].first; --j) sorted[j] = sorted[j - 1];
        sorted[j] = p;
        moves += i - j;
        if (moves > 4 * sorted.size()) {
            std::sort(sorted.begin(), sorted.end());
            break;
        }
    }
    return sorted;
}

// Writes everything after the packet records; the footer last.
// `fields` holds the flows' fields, by ascending id; it is written when
// given, with the section's `fields_flags`.
Result<UniqueFd> finish(ArchiveFile& file, const ArchiveHeader& header, const std::vector<FlowEntry>& flows,
                        OffsetLists lists, const std::vector<FlowFields>* fields, uint32_t fields_flags) {
    ArchiveFooter footer;
    footer.version = header.version;
    footer.data_off = header.data_start();
    footer.offsets_off = file.position();
    footer.data_len = footer.offsets_off - footer.data_off;
    Staging out(file);
    uint64_t position = file.position();  // of the next staged byte
    std::vector<FlowRecord> records;
    records.reserve(flows.size());
    for (size_t i = 0; i < flows.size(); ++i) {
        const FlowEntry& e = flows[i];
        if (e.offsets.size > kU32Max)
            return Error{"Offset list of flow " + std::to_string(i + 1) + " exceeds 4294967295 bytes"};
        records.push_back(record_of(e, i + 1, time_unit(header.nanoseconds())));
        records.back().offsets_pos = position;
        records.back().offsets_len = uint32_t(e.offsets.size);
        auto add = [&](const uint8_t* bytes, size_t n) { return out.add(bytes, n); };
        if (auto st = OffsetLists::read(e.offsets, add); !st) return std::move(st).error();
        position += e.offsets.size;
    }
    lists = OffsetLists();  // not needed for the rest
    footer.offsets_len = position - footer.offsets_off;

    footer.table_off = position;
    for (const FlowRecord& r : records) {
        if (auto st = out.room(kFlowRecordSize); !st) return std::move(st).error();
        encode_flow_record(out.at(), r, header.nanoseconds());
        out.advance(kFlowRecordSize);
    }
    position += kFlowRecordSize * records.size();
    footer.table_len = position - footer.table_off;
    footer.flow_count = records.size();

    footer.index_off = position;
    if (auto st = write_index(out, records); !st) return std::move(st).error();
    if (auto st = out.flush(); !st) return std::move(st).error();
    footer.index_len = file.position() - footer.index_off;

    if (fields) {
        const std::vector<uint8_t> bytes = encode_flow_fields(*fields, fields_flags);
        footer.fields_off = file.position();
        footer.fields_len = bytes.size();
        if (auto st = file.write(bytes.data(), bytes.size()); !st) return Error{"Failed to write flow fields"};
        if (const auto pairs = name_index_pairs(*fields); !pairs.empty()) {
            const std::vector<uint8_t> index = encode_name_index(pairs);
            footer.names_off = file.position();
            footer.names_len = index.size();
            if (auto st = file.write(index.data(), index.size()); !st) return Error{"Failed to write the name index"};
        }
    }

    if (auto st = file.make_room(kFooterSize); !st) return Error{"Failed to write footer"};
    uint8_t bytes[kFooterSize];
    encode_footer(bytes, footer);
    if (auto st = file.write(bytes, sizeof bytes); !st) return Error{"Failed to write footer"};
    return file.release();
}

// What an archive holds besides its packet records, gathered as each packet
// is written.
struct ArchiveContents {
    explicit ArchiveContents(const ArchiveHeader& h) : header(h) {}

    ArchiveHeader header;
    std::vector<FlowEntry> flows;  // by flow id - 1
    OffsetLists offset_lists;
    uint32_t longest = 0;  // record, which a capture damaged so may hold beyond its snap length
    std::vector<FlowFields> fields;  // of the flows that have any, by id

    // Writes the packet once for each of its `count` flows, numbered 0, 1,
    // 2, ... in order of first sight.
    [[gnu::always_inline]] Status<CallError> add(ArchiveFile& file, const ParsedPacket& packet,
                                                 const uint32_t* flow_numbers, uint8_t count,
                                                 const std::string& path) {
        if (count) longest = std::max(longest, packet.incl_len);
        for (uint8_t k = 0; k < count; ++k) {
            const uint64_t position = file.position();
            if (auto st = file.write_record(packet); !st) return CallError::runtime(st.error(), path);
            const uint64_t ts = stored_time(packet, header.nanoseconds());
            const uint32_t index = flow_numbers[k];
            if (index == flows.size()) {
                FlowEntry& e = flows.emplace_back();
                e.tuple = packet.ip;
                e.start = ts;
                if (packet.tunnel.depth) [[unlikely]]
                    fields.push_back(
                        {.id = index + 1, .tunnel = tunnel_text(packet), .vni = packet.tunnel.vni()});
            }
            FlowEntry& e = flows[index];
            if (e.packet_count == kU32Max)
                return CallError::runtime("Flow " + std::to_string(index + 1) + " has more than 4294967295 packets");
            e.add_position(offset_lists, position);
            ++e.packet_count;
            e.total_bytes += packet.orig_len;
            e.naming.add(packet, e.tuple);
            e.connection.add(packet, e.tuple);
            e.end = ts;
        }
        return {};
    }

    // Writes the rest of the archive, with a flow fields section when it
    // has flows (each has its connection facts) or `fields_flags`; its
    // descriptor, still locked.
    Result<UniqueFd, CallError> finish(ArchiveFile& file, const std::string& path, uint32_t fields_flags) {
        if (!fields_flags) fields.clear();
        const std::vector<FlowFields> all = all_fields(flows, fields);
        auto finished = archive::finish(file, header, flows, std::move(offset_lists),
                                        fields_flags || !all.empty() ? &all : nullptr, fields_flags);
        if (!finished) return CallError::runtime(finished.error(), path);
        // Exports state a snap length no shorter than any record.
        if (longest > std::max(header.snap_length, kPcapWrittenSnapLength)) {
            uint8_t snap[4];
            encode_u32le(snap, longest);
            if (::pwrite(finished->get(), snap, sizeof snap, kHeaderSnapLengthOffset) != ssize_t(sizeof snap))
                return CallError::runtime(os_error(errno), path);
        }
        return std::move(finished).value();
    }
};

// Removes a file on failure, while its name still is that file.
// `removed`, when given, counts it.
class RemovedUnlessKept {
public:
    RemovedUnlessKept(std::string path, std::optional<FileId> id, uint64_t* removed)
        : path_(std::move(path)), id_(id), removed_(removed) {}
    RemovedUnlessKept(const RemovedUnlessKept&) = delete;
    RemovedUnlessKept& operator=(const RemovedUnlessKept&) = delete;
    ~RemovedUnlessKept() {
        if (id_ && unlink_if_same(AT_FDCWD, path_.c_str(), *id_) && removed_) ++*removed_;
    }
    void keep() { id_.reset(); }

private:
    std::string path_;
    std::optional<FileId> id_;
    uint64_t* removed_;
};

// The archive's descriptor, open for reading and writing and still locked.
Result<UniqueFd, CallError> build(const BuildOptions& o, bool private_archive) {
    auto strategy = choose_strategy(o.strategy);
    if (!strategy) return std::move(strategy).error();
    auto tunnels = choose_tunnels(o.tunnels);
    if (!tunnels) return std::move(tunnels).error();
    auto source = open_flow_source(o.input_path, o.ip_filters, o.port_filters, o.observer, o.frame_filter);
    if (!source) return std::move(source).error();
    const ArchiveHeader header = header_for(source->reader->frame_format());

    const std::string& out = o.output_path;
    const std::string temp_path = out + ".tmp";
    auto create_failed = [&](int err) {
        return CallError::io(Error{"Failed to create temp archive file: " + temp_path, err}, temp_path);
    };
    if (temp_path.find('\0') != std::string::npos) return create_failed(0);
    const CallError not_regular = CallError::io(std::string(kNotRegularFile) + ": " + out).about(out);
    auto destination = destination_of(out);
    // A private archive is the caller's own file, which it removes by name:
    // never a copy elsewhere.
    if (!destination || (private_archive && *destination != Destination::Renamed)) return not_regular;
    // An archive is written with seeks: one for standard output, a device or
    // a FIFO is built in a file of its own, then copied there.
    const bool renamed = *destination == Destination::Renamed;
    // The temporary name may be predictable: it is created afresh, never
    // written through, and held until renamed, so that another run neither
    // shares it nor takes it for the stale file of a run that ended.
    auto fd = renamed ? create_held(AT_FDCWD, temp_path.c_str(), O_RDWR, private_archive ? 0600 : 0666)
                      : unnamed_temporary_file(0600);
    if (!fd && fd.error() == EBUSY)
        return CallError::io("Failed to create temp archive file: " + temp_path + " (another run is writing it)")
            .about(temp_path);
    if (!fd && !renamed)
        return CallError::io(Error{"Failed to create temp archive file in " + temporary_folder(), fd.error()},
                             temporary_folder());
    if (!fd) return create_failed(fd.error());
    // A private archive, or one of a caller that asks for it, leaves no file
    // behind when it fails.
    const bool remove = renamed && (private_archive || o.removed_temporaries);
    RemovedUnlessKept temp(temp_path, remove ? file_id(fd->get()) : std::nullopt, o.removed_temporaries);
    ArchiveFile file(std::move(fd).value(), header);
    const std::vector<uint8_t> header_bytes = encode_header(header);
    if (auto st = file.write(header_bytes.data(), header_bytes.size()); !st)
        return CallError::runtime(st.error(), temp_path);

    std::optional<KeyedPacketStream> packets(std::in_place);
    if (o.notes) packets->end_at_cut_off();
    packets->decode_tunnels(tunnels.value());
    if (o.dedup) packets->drop_duplicates();
    packets->set_idle_timeouts(o.idle);
    // Flows are only numbered here: no key text is needed.
    if (auto st = packets->start(std::move(source->reader), strategy.value(), std::move(source->filter),
                                 KeyForm::Compact);
        !st)
        return std::move(st).error();
    ArchiveContents contents(header);
    ProgressClock clock;
    auto report = [&] {
        return o.observer->keep_going({packets->bytes_consumed(), source->input.size(), clock.packets(),
                                       contents.flows.size(), packets->fragments_matched(),
                                       packets->fragments_unmatched(), packets->packets_kept()});
    };
    while (size_t ready = packets->wait_front()) {
        for (size_t i = 0; i < ready; ++i) {
            const QueuedPacket& queued = packets->front(i);
            if (clock.tick(queued.read_bytes, queued.read_packets) && o.observer && !report())
                return CallError::interrupted();
            if (auto st = contents.add(file, queued.packet, queued.flows, queued.keys.count, temp_path); !st)
                return std::move(st).error();
        }
        packets->pop_front(ready);
    }

    if (auto st = packets->finish(); !st) return CallError(std::move(st).error()).about(o.input_path);
    if (o.notes) *o.notes = packets->notes();
    // Inner mode counts the packets it found in tunnels; their archive says
    // so in a flow fields section, which an archive goes without when none
    // of its flows has a field.
    const auto& counts = packets->notes().tunnel_packets;
    const bool tunnelled = tunnels.value() == TunnelMode::Inner &&
                           std::any_of(std::begin(counts), std::end(counts), [](uint64_t n) { return n != 0; });
    if (o.observer && !report()) return CallError::interrupted();
    packets.reset();  // its table of keys is not needed to finish
    auto finished = contents.finish(file, temp_path, tunnelled ? kFieldsInnerTunnels : 0);
    if (!finished) return std::move(finished).error();
    if (!renamed) {
        auto copied = write_to_path(out, [&](int fd) { return copy_file(finished->get(), fd); });
        if (copied) return std::move(finished).value();
        if (copied.error().os_errno == EINTR) return CallError::interrupted();
        return CallError::io(copied.error(), out);
    }
    if (private_archive) {
        auto now = destination_of(out);
        if (!now || *now != Destination::Renamed) return not_regular;
    }
    if (auto placed = place_file(AT_FDCWD, temp_path, out); !placed) {
        if (placed.error().message == kNotRegularFile) return not_regular;
        return CallError::runtime(Error{"Failed to rename " + temp_path + " -> " + out, placed.error().os_errno}, out);
    }
    temp.keep();
    return std::move(finished).value();
}

}  // namespace

Status<CallError> build_archive(const BuildOptions& o) {
    auto built = build(o, false);
    if (!built) return std::move(built).error();
    // Closed only now: the file stays locked until it has its final name.
    if (::close(built->release()) != 0 && errno != EINTR) return CallError::runtime(os_error(errno), o.output_path);
    return {};
}

Result<UniqueFd, CallError> build_private_archive(const BuildOptions& o) { return build(o, true); }

struct ArchiveBuilder::State {
    State(UniqueFd fd, const ArchiveHeader& header, std::string p)
        : file(std::move(fd), header), contents(header), path(std::move(p)) {}
    ArchiveFile file;
    ArchiveContents contents;
    std::string path;
    // Packets found in tunnels: the archive's flows are then inner ones,
    // which its flow fields section says.
    bool tunnelled = false;
    uint64_t reserved = 0;  // the file's size with the room allocated ahead
};

ArchiveBuilder::ArchiveBuilder(std::unique_ptr<State> state) : state_(std::move(state)) {}
ArchiveBuilder::ArchiveBuilder(ArchiveBuilder&&) noexcept = default;
ArchiveBuilder& ArchiveBuilder::operator=(ArchiveBuilder&&) noexcept = default;
ArchiveBuilder::~ArchiveBuilder() = default;

Result<ArchiveBuilder, CallError> ArchiveBuilder::start(UniqueFd fd, const FrameFileFormat& format, std::string path) {
    const ArchiveHeader header = header_for(format);
    auto state = std::make_unique<State>(std::move(fd), header, std::move(path));
    const std::vector<uint8_t> bytes = encode_header(header);
    if (auto st = state->file.write(bytes.data(), bytes.size()); !st) return CallError::runtime(st.error(), state->path);
    return ArchiveBuilder(std::move(state));
}

Status<CallError> ArchiveBuilder::add(const ParsedPacket& packet, const uint32_t* flows, uint8_t count) {
    if (packet.tunnel.depth) [[unlikely]]
        state_->tunnelled = true;
    return state_->contents.add(state_->file, packet, flows, count, state_->path);
}

Status<CallError> ArchiveBuilder::flush() {
    if (auto st = state_->file.flush(); !st) return CallError::runtime(st.error(), state_->path);
    return {};
}

Status<> ArchiveBuilder::reserve(uint64_t bytes) {
    const uint64_t size = state_->file.position() + bytes;
    if (size <= state_->reserved) return {};
    // Only what is not yet allocated: the file system walks the whole range.
    const uint64_t from = state_->reserved;
    if (::fallocate(state_->file.fd(), 0, off_t(from), off_t(size - from)) != 0) return os_error(errno);
    state_->reserved = size;
    return {};
}

Result<UniqueFd, CallError> ArchiveBuilder::finish() {
    auto finished = state_->contents.finish(state_->file, state_->path, state_->tunnelled ? kFieldsInnerTunnels : 0);
    // The room allocated ahead and not used is given back.
    if (finished && state_->reserved > state_->file.position() &&
        ::ftruncate(finished->get(), off_t(state_->file.position())) != 0)
        return CallError::runtime(os_error(errno), state_->path);
    return finished;
}

uint64_t ArchiveBuilder::size() const { return state_->file.position(); }
uint64_t ArchiveBuilder::flow_count() const { return state_->contents.flows.size(); }

}  // namespace flowsieve::archive
