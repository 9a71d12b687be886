#include "archive/writer.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "archive/format.hpp"
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

uint64_t micros(const ParsedPacket& p) { return uint64_t(p.ts_sec) * 1000000 + p.ts_usec; }

// The accumulator of one flow. Its offset list is encoded as packets
// arrive, which keeps a flow's memory at a byte or two per packet.
struct FlowEntry {
    std::vector<uint8_t> offsets;
    uint64_t last_position = 0;
    std::optional<IpTuple> tuple;
    uint64_t total_bytes = 0;
    uint64_t start_ts = 0;
    uint64_t end_ts = 0;
    uint32_t packet_count = 0;

    void add_position(uint64_t position) {
        uint8_t bytes[kMaxVarintSize];
        size_t n;
        if (offsets.empty()) {
            encode_u64le(bytes, position);
            n = kOffsetListHead;
        } else {
            n = encode_varint(position - last_position, bytes);
        }
        for (size_t i = 0; i < n; ++i) offsets.push_back(bytes[i]);  // a byte or two: no copy call
        last_position = position;
    }
};

// The output file with its write buffer. Positions count every byte handed
// to it, buffered or written. Frames are lent to the buffer, so the input
// must outlive the file; everything else is copied.
class ArchiveFile {
public:
    ArchiveFile(UniqueFd fd) : fd_(std::move(fd)), buffer_(kWriteBufferSize) {}
    // A file given up on keeps what was buffered (failures ignored).
    ~ArchiveFile() {
        if (fd_.valid()) (void)flush();
    }

    uint64_t position() const { return position_; }

    Status<> write(const uint8_t* data, size_t size) {
        position_ += size;
        return buffer_.write_copy(fd_.get(), data, size);
    }

    Status<> write_record(const ParsedPacket& p) {
        const uint32_t size = uint32_t(p.data.size());
        uint8_t header[kRecordHeaderSize];
        encode_pcap_record_header(header, p.ts_sec, p.ts_usec, size, p.orig_len);
        if (auto st = write(header, sizeof header); !st) return st;
        position_ += size;
        return buffer_.write(fd_.get(), p.data.data(), size);
    }

    // Room for n more bytes in the buffer, writing it out if needed.
    Status<> make_room(size_t n) {
        if (n <= buffer_.room()) return {};
        return flush();
    }

    Status<> flush() { return buffer_.flush(fd_.get()); }

    Status<> close() {
        if (auto st = flush(); !st) return st;
        // The descriptor is gone after close whatever it returns.
        if (::close(fd_.release()) != 0 && errno != EINTR) return os_error(errno);
        return {};
    }

private:
    UniqueFd fd_;
    WriteBuffer buffer_;
    uint64_t position_ = 0;
};

// One index section: (key, flow id) pairs, sorted and without repeats, so
// that equal keys form one group. Pairs are added in ascending id order.
template <class Key>
struct Section {
    std::vector<std::pair<Key, uint64_t>> pairs;

    void prepare() {
        if constexpr (sizeof(Key) <= 2) {
            // Ports and protocols: a stable counting sort by key keeps the
            // ids ascending within each key, in linear time.
            std::vector<size_t> starts((size_t(1) << (8 * sizeof(Key))) + 1);
            for (const auto& p : pairs) ++starts[size_t(p.first) + 1];
            for (size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
            std::vector<std::pair<Key, uint64_t>> sorted(pairs.size());
            for (const auto& p : pairs) sorted[starts[p.first]++] = p;
            pairs.swap(sorted);
        } else {
            std::sort(pairs.begin(), pairs.end());
        }
        pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    }
    uint64_t length(size_t key_bytes) const {
        uint64_t groups = 0;
        for (size_t i = 0; i < pairs.size(); ++i) groups += i == 0 || pairs[i].first != pairs[i - 1].first;
        return 4 + groups * (key_bytes + 4) + 8 * uint64_t(pairs.size());
    }
    // encode_key(key, out) writes the key bytes and returns their number.
    template <class EncodeKey>
    Status<> write(ArchiveFile& file, EncodeKey encode_key) const {
        uint8_t bytes[kAddressSize + 4];
        encode_u32le(bytes, uint32_t(pairs.size()));
        if (auto st = file.write(bytes, 4); !st) return st;
        for (size_t i = 0; i < pairs.size();) {
            size_t end = i;
            while (end < pairs.size() && pairs[end].first == pairs[i].first) ++end;
            const size_t n = encode_key(pairs[i].first, bytes);
            encode_u32le(bytes + n, uint32_t(end - i));
            if (auto st = file.write(bytes, n + 4); !st) return st;
            for (; i < end; ++i) {
                encode_u64le(bytes, pairs[i].second);
                if (auto st = file.write(bytes, 8); !st) return st;
            }
        }
        return {};
    }
};

Status<> write_index(ArchiveFile& file, const std::vector<FlowRecord>& records) {
    Section<StoredAddress> addresses;
    Section<uint16_t> ports;
    Section<uint8_t> protocols;
    addresses.pairs.reserve(2 * records.size());
    ports.pairs.reserve(2 * records.size());
    protocols.pairs.reserve(records.size());
    for (const FlowRecord& r : records) {
        addresses.pairs.emplace_back(r.src_addr, r.id);
        addresses.pairs.emplace_back(r.dst_addr, r.id);
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
    uint8_t bytes[kIndexHeaderSize];
    encode_index_header(bytes, header);
    if (auto st = file.write(bytes, sizeof bytes); !st) return st;
    if (auto st = addresses.write(file, [](const StoredAddress& a, uint8_t* out) {
            std::memcpy(out, a.data(), kAddressSize);
            return kAddressSize;
        });
        !st)
        return st;
    if (auto st = ports.write(file, [](uint16_t port, uint8_t* out) {
            encode_u16le(out, port);
            return size_t(2);
        });
        !st)
        return st;
    return protocols.write(file, [](uint8_t proto, uint8_t* out) {
        out[0] = proto;
        return size_t(1);
    });
}

FlowRecord record_of(const FlowEntry& e, uint64_t id) {
    FlowRecord r;
    r.id = id;
    if (e.tuple) {
        r.proto = e.tuple->protocol;
        r.src_addr = encode_address(e.tuple->src_ip);
        r.dst_addr = encode_address(e.tuple->dst_ip);
        r.src_port = e.tuple->src_port;
        r.dst_port = e.tuple->dst_port;
    }
    r.packet_count = e.packet_count;
    r.start_ts = e.start_ts;
    r.end_ts = e.end_ts;
    r.total_bytes = e.total_bytes;
    return r;
}

// Writes everything after the packet records; the footer last.
Status<> finish(ArchiveFile& file, std::vector<FlowEntry>& flows) {
    ArchiveFooter footer;
    footer.offsets_off = file.position();
    footer.data_len = footer.offsets_off - kDataStart;
    std::vector<FlowRecord> records;
    records.reserve(flows.size());
    for (size_t i = 0; i < flows.size(); ++i) {
        FlowEntry& e = flows[i];
        if (e.offsets.size() > kU32Max)
            return Error{"Offset list of flow " + std::to_string(i + 1) + " exceeds 4294967295 bytes"};
        records.push_back(record_of(e, i + 1));
        records.back().offsets_pos = file.position();
        records.back().offsets_len = uint32_t(e.offsets.size());
        if (auto st = file.write(e.offsets.data(), e.offsets.size()); !st) return st;
        std::vector<uint8_t>().swap(e.offsets);
    }
    footer.offsets_len = file.position() - footer.offsets_off;

    footer.table_off = file.position();
    for (const FlowRecord& r : records) {
        uint8_t bytes[kFlowRecordSize];
        encode_flow_record(bytes, r);
        if (auto st = file.write(bytes, sizeof bytes); !st) return st;
    }
    footer.table_len = file.position() - footer.table_off;
    footer.flow_count = records.size();

    footer.index_off = file.position();
    if (auto st = write_index(file, records); !st) return st;
    footer.index_len = file.position() - footer.index_off;

    if (auto st = file.make_room(kFooterSize); !st) return Error{"Failed to write footer"};
    uint8_t bytes[kFooterSize];
    encode_footer(bytes, footer);
    if (auto st = file.write(bytes, sizeof bytes); !st) return Error{"Failed to write footer"};
    return file.close();
}

}  // namespace

Status<CallError> build_archive(const BuildOptions& o) {
    auto strategy = choose_strategy(o.strategy);
    if (!strategy) return std::move(strategy).error();
    auto source = open_flow_source(o.input_path, o.ip_filters, o.port_filters, o.observer);
    if (!source) return std::move(source).error();
    const uint32_t link_type = source->reader->link_type();

    const std::string temp_path = o.output_path + ".tmp";
    const CallError create_failed = CallError::io("Failed to create temp archive file: " + temp_path);
    if (temp_path.find('\0') != std::string::npos) return create_failed;
    // The temporary name may be predictable: no symlink or FIFO there is followed.
    auto fd = open_regular_for_writing(AT_FDCWD, temp_path.c_str(), O_CREAT | O_TRUNC);
    if (!fd) return create_failed;
    ArchiveFile file(std::move(fd).value());
    uint8_t header[kHeaderSize];
    encode_header(header, link_type);
    if (auto st = file.write(header, sizeof header); !st) return CallError::runtime(st.error().message);

    std::optional<KeyedPacketStream> packets(std::in_place);
    if (auto st = packets->start(std::move(source->reader), strategy.value(), std::move(source->filter)); !st)
        return st;
    std::vector<FlowEntry> flows;  // by flow id - 1
    ProgressClock clock;
    auto report = [&] {
        return o.observer->keep_going({packets->bytes_consumed(), source->input.size(), clock.packets(), flows.size()});
    };
    while (size_t ready = packets->wait_front()) {
        for (size_t i = 0; i < ready; ++i) {
            const QueuedPacket& queued = packets->front(i);
            const ParsedPacket& packet = queued.packet;
            if (clock.tick(packet.incl_len) && o.observer && !report()) return CallError::interrupted();
            for (uint8_t k = 0; k < queued.keys.count; ++k) {
                const uint64_t position = file.position();
                if (auto st = file.write_record(packet); !st) return CallError::runtime(st.error().message);
                const uint64_t ts = micros(packet);
                const uint32_t index = queued.flows[k];
                if (index == flows.size()) {
                    FlowEntry& e = flows.emplace_back();
                    e.tuple = packet.ip;
                    e.start_ts = ts;
                }
                FlowEntry& e = flows[index];
                if (e.packet_count == kU32Max)
                    return CallError::runtime("Flow " + std::to_string(index + 1) + " has more than 4294967295 packets");
                e.add_position(position);
                ++e.packet_count;
                e.total_bytes += packet.orig_len;
                e.end_ts = ts;
            }
        }
        packets->pop_front(ready);
    }

    if (auto st = packets->finish(); !st) return st;
    if (o.observer && !report()) return CallError::interrupted();
    packets.reset();  // its table of keys is not needed to finish
    if (auto st = finish(file, flows); !st) return CallError::runtime(st.error().message);
    if (::rename(temp_path.c_str(), o.output_path.c_str()) != 0)
        return CallError::runtime("Failed to rename " + temp_path + " -> " + o.output_path);
    return {};
}

}  // namespace flowsieve::archive
