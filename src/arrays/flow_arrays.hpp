// Flows as arrays, one row per flow: the flow's figures, the sizes,
// directions, gaps, TCP flags and leading header bytes of its first K
// packets in time order (in capture order among equal times: a capture from
// several interfaces interleaves them out of order), and the first L bytes
// of its payload in capture order. Rows fill as the packets
// arrive, so that memory holds the rows and a few words per flow, never the
// packets. The arrays are plain C-order buffers described as NumPy describes
// them, for a binding to wrap and for the .npz writer.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "archive/query.hpp"
#include "flow/connection.hpp"
#include "flow/naming.hpp"
#include "flow/source.hpp"
#include "packet/packet.hpp"
#include "util/call.hpp"
#include "util/growing_mapping.hpp"
#include "util/progress.hpp"
#include "util/result.hpp"

namespace flowsieve::arrays {

// The dtype texts below say little-endian.
static_assert(std::endian::native == std::endian::little);

struct Shape {
    static constexpr uint32_t kMaxPackets = 65535;
    static constexpr uint32_t kMaxPacketBytes = 262144;  // the largest frame captures hold
    static constexpr uint32_t kMaxPayloadBytes = 2147483647;  // its count is an int32

    uint32_t packets = 8;        // K: the first K packets of every flow
    uint32_t packet_bytes = 0;   // M: of each, the first M bytes from the IP header on
    uint32_t payload_bytes = 0;  // L: the first L bytes of the flow's payload
    bool anonymize = true;       // the IP header's addresses in those M bytes zeroed
};

// Rows of one size, in a mapping that grows without copying them. Handing
// the rows over gives their pages back as it goes, so that a column and its
// copy elsewhere are never whole at the same time.
class Column {
public:
    // New rows have every byte `fill`.
    Column(size_t row_bytes, uint8_t fill) : row_bytes_(row_bytes), fill_(fill) {}

    uint8_t* add_row();
    uint8_t* row(size_t i) const { return map_.data() + i * row_bytes_; }
    template <class T>
    T* row_of(size_t i) const {
        return reinterpret_cast<T*>(row(i));
    }
    size_t rows() const { return rows_; }
    uint64_t bytes() const { return uint64_t(rows_) * row_bytes_; }

    // Calls visit(data, size) over the bytes in order, a megabyte at a time.
    template <class Visit>
    void visit(Visit&& visit) const {
        for (uint64_t at = 0; at < bytes(); at += kPiece) visit(map_.data() + at, size_t(std::min(kPiece, bytes() - at)));
    }
    // As visit, but each piece's pages are given back once put has taken
    // it, and put may refuse (returns false): false then. The column is
    // spent either way.
    template <class Put>
    bool drain(Put&& put) {
        bool ok = true;
        for (uint64_t at = 0; ok && at < bytes(); at += kPiece) {
            ok = put(map_.data() + at, size_t(std::min(kPiece, bytes() - at)));
            map_.release_below(size_t(at + kPiece));
        }
        map_ = GrowingMapping();
        rows_ = 0;
        return ok;
    }

    // The mapping that holds the bytes, from data(); the column is spent.
    GrowingMapping take() {
        rows_ = 0;
        return std::move(map_);
    }

private:
    static constexpr uint64_t kPiece = 1 << 20;

    GrowingMapping map_;
    size_t row_bytes_;
    uint8_t fill_;
    size_t rows_ = 0;
};

// An array: its NumPy dtype text ("<u4", "|u1", "<U39"), its shape, and its
// bytes in C order.
struct Array {
    std::string name;
    std::string dtype;
    std::vector<uint64_t> shape;
    Column data;
};

// Names (of files) as a text array of NumPy's, one row each.
Array names_array(std::string name, const std::vector<std::string>& names);

// What a flow's row starts from: its id and the fields an archive's Flow
// shows, and the key text that split names its file with.
struct FlowHead {
    uint64_t id = 0;
    uint8_t proto = 0;
    archive::StoredAddress src_addr{};
    archive::StoredAddress dst_addr{};
    uint16_t src_port = 0;
    uint16_t dst_port = 0;
    std::string_view key;
    uint8_t flags = 0;  // as a flow record's: how to read the addresses
};

class Builder {
public:
    explicit Builder(Shape shape);

    // Starts the next row; its number. `source` numbers the input it came from.
    size_t add_flow(const FlowHead& head, uint32_t source);
    // The flow's next packet in capture order. A packet is forward when its
    // source address is the first packet's (its source port too, when the
    // first packet went from an address to itself); a packet without an IP
    // layer, or in a flow whose first packet has none, is forward. The first
    // packet is the first in capture order, as for the flow's other figures.
    void add_packet(size_t row, const ParsedPacket& packet);
    // Whether the row wants its next packet, of this time, whole, through
    // add_packet: one among the K earliest so far, those up to a full
    // payload, and every packet of a flow from an address to itself (its
    // ports tell the directions apart). Any other packet add_count takes.
    bool wants_packet(size_t row, const FrameTime& time) const {
        const FlowState& f = flows_[row];
        const uint32_t k = shape_.packets;
        return f.packets < std::max<uint32_t>(k, 1) || f.payload_len < shape_.payload_bytes ||
               (f.has_ip && f.loop) || (k && nanos(time) < times(row)[k - 1]);
    }
    // Whether the direction of the row's next packets depends on their
    // source address: the first packet had an IP layer.
    bool needs_source(size_t row) const { return flows_[row].has_ip; }
    // A packet that the row does not want whole: its time, its original
    // length, and its IP source address (nullptr: none, or not needed).
    void add_count(size_t row, const FrameTime& time, uint32_t orig_len, const IpAddress* source) {
        FlowState& f = flows_[row];
        count(f, nanos(time), orig_len, forward(f, source, 0));
    }
    size_t flows() const { return flows_.size(); }
    // The row's application and server name (empty: none).
    void name_flow(size_t row, App app, std::string_view name) {
        flows_[row].app = uint8_t(app);
        if (name.empty()) return;
        names_.emplace_back(name);
        flows_[row].name = uint32_t(names_.size());
    }

    // The row's connection facts (by originator and responder, as Flow
    // gives them); a row without has zeros and empty texts.
    void connect_flow(size_t row, ConnSummary facts) {
        if (connections_.size() <= row) connections_.resize(row + 1);
        connections_[row] = std::move(facts);
    }

    // The arrays in their documented order, with `source` when asked; the
    // builder is spent.
    std::vector<Array> finish(bool with_source);

private:
    // The per-flow figures, turned into columns at the end: kept together,
    // a packet touches one place for them rather than one per column.
    struct FlowState {
        uint64_t id;
        archive::StoredAddress src_addr;
        archive::StoredAddress dst_addr;
        uint8_t flags;  // of the flow record
        IpAddress first_src;
        uint16_t src_port;
        uint16_t dst_port;
        uint16_t first_src_port;
        uint8_t proto;
        bool has_ip;  // the first packet's
        bool loop;    // its addresses are equal
        uint32_t source;
        uint32_t payload_len;
        int64_t start_ns;
        int64_t end_ns;
        uint64_t packets;
        uint64_t bytes;
        uint64_t fwd_packets;
        uint64_t fwd_bytes;
        uint64_t key_end;  // in keys_
        uint32_t name = 0;  // in names_, from 1; 0: none
        uint8_t app = 0;    // App
    };

    // The times of the row's kept packets while it fills, in the column that
    // finish turns into their gaps.
    int64_t* times(size_t row) const { return iat_.row_of<int64_t>(row); }
    // Where a packet of time `ns` goes among the row's `kept` packets, after
    // those of its time or earlier: K when it is not among the K earliest.
    size_t slot_for(size_t row, size_t kept, int64_t ns) const {
        const int64_t* t = times(row);
        size_t slot = kept;
        while (slot > 0 && t[slot - 1] > ns) --slot;
        return slot;
    }
    // Moves the kept packets from `slot` on one place later (the last of K
    // falls off) and empties the slot.
    void make_room(size_t row, size_t slot, size_t kept);

    static int64_t nanos(const FrameTime& t) { return int64_t(t.sec) * 1000000000 + int64_t(t.nsec()); }
    static bool forward(const FlowState& f, const IpAddress* source, uint16_t source_port) {
        return !f.has_ip || !source || (*source == f.first_src && (!f.loop || source_port == f.first_src_port));
    }
    static void count(FlowState& f, int64_t ns, uint32_t orig_len, bool forward) {
        if (forward) {
            ++f.fwd_packets;
            f.fwd_bytes += orig_len;
        }
        ++f.packets;
        f.bytes += orig_len;
        f.end_ns = ns;
    }

    static constexpr size_t kCommunityIdSize = 30;  // "1:" and the base64 of 20 bytes

    Shape shape_;
    std::vector<FlowState> flows_;
    std::string keys_;
    std::string community_ids_;  // kCommunityIdSize bytes a row
    std::vector<std::string> names_;
    std::vector<ConnSummary> connections_;  // by row, as far as a row has them
    Column sizes_;
    Column directions_;
    Column iat_;
    Column tcp_flags_;
    Column packet_bytes_;
    Column payload_;
};

// Adds every flow of a capture, numbered as an archive of it numbers them.
struct CaptureInput {
    std::string path;  // "-": standard input
    ChoiceText strategy{"session", "session"};
    std::vector<std::string> ip_filters;
    std::vector<uint16_t> port_filters;
    ProgressObserver* observer = nullptr;
    FrameFilter* frame_filter = nullptr;
    // When given, filled in; a last record cut off then ends the capture.
    ReadingNotes* notes = nullptr;
    ChoiceText tunnels{"outer", "outer"};
    bool dedup = false;  // packets captured twice dropped (see DuplicateWindow)
    IdleTimeouts idle{};  // for the connection strategy
};
Status<CallError> add_capture(Builder& builder, const CaptureInput& input, uint32_t source);

// Adds the flows of an archive, in the list's order. An archive does not
// record its strategy: the key is the session key of the flow's fields.
// Errors other than Interrupted (the archive's damage) add no row.
Status<CallError> add_archive(Builder& builder, const archive::ArchiveReader& reader, const archive::FlowList& flows,
                              uint32_t source, ProgressObserver* observer);

}  // namespace flowsieve::arrays
