// Queries that combine conditions, over one archive or several, and the
// packets of every selected flow of several archives merged into one
// timestamp-ordered stream.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/mod.hpp"

namespace flowsieve::archive {

// One connection: a protocol and two endpoints, matched in either direction.
struct FiveTuple {
    uint8_t protocol = 0;
    StoredAddress a{};
    uint16_t a_port = 0;
    StoredAddress b{};
    uint16_t b_port = 0;
};

// Every condition given must hold.
struct FlowQuery {
    std::vector<StoredAddress> addresses;  // each the source or destination
    std::vector<uint16_t> ports;           // each the source or destination port
    // When given, at least one of them the source or destination (port).
    std::vector<StoredAddress> any_address;
    std::vector<uint16_t> any_port;
    std::vector<uint8_t> protocols;  // when given, one of them
    // Nanoseconds since the epoch: the flow's time span overlaps
    // [since, until], both ends included.
    std::optional<uint64_t> since;
    std::optional<uint64_t> until;
    std::optional<FiveTuple> tuple;
    std::optional<std::string> community_id;
    // A list of values was given empty: of none of them, no flow is. (An
    // empty list above otherwise stands for a condition not given.)
    bool nothing = false;
    // The VNI of the flow's innermost VXLAN or GENEVE tunnel.
    std::optional<uint32_t> vni;
    // When given, the flow's server name matches one of them, ignoring
    // case: "*.example.com" every name below example.com, any other that
    // name alone.
    std::vector<std::string> names;
    std::optional<std::string> app;  // "tls", ...

    // When given, one of these connection states.
    std::vector<ConnState> states;

    bool empty() const {
        return addresses.empty() && ports.empty() && any_address.empty() && any_port.empty() && protocols.empty() &&
               !since && !until && !tuple && !community_id && !vni && names.empty() && !app && states.empty() && !nothing;
    }
};

// Whether the server name matches the pattern, as FlowQuery::names do.
bool name_matches(std::string_view pattern, std::string_view name);

// Whether the flow meets every condition of the query. Only a Community ID
// condition on an ICMP, ICMPv6 or SCTP flow reads a packet.
bool matches(const ArchiveReader& reader, const FlowRecord& record, const FlowQuery& query);

// The flows that meet the query: every flow in table order for an empty
// query, otherwise by ascending id. Candidates come from the index where a
// condition has a key there (names from the name index), and each is
// checked against the whole query. An archive whose table and indexes show
// that no flow can match is passed over without reading any packet, nor
// any flow's fields.
FlowList select_flows(const ArchiveReader& reader, const FlowQuery& query);

// The flows chosen from one archive of several; `name` names it in errors.
struct Selection {
    std::string name;
    std::shared_ptr<const ArchiveReader> reader;
    FlowList flows;
};

// The packets of every selected flow of every archive, by timestamp;
// packets with equal times come in archive order, then flow order, then
// packet order. Each flow's packets are taken in their own order, so
// memory grows with the number of flows, not their packets. Each archive
// lends at most its file's size in records, as an export of it would.
class PacketMerge {
public:
    // Error: a flow's offset list lies outside its file. The output's format
    // is `empty_format` when no flow was selected. With `only`, the frames
    // of that link type alone, as a classic pcap of it.
    static Result<PacketMerge> of(const std::vector<Selection>& selections, const FrameFileFormat& empty_format,
                                  std::optional<uint32_t> only = std::nullopt);

    // How the merged packets are written: pcapng when the archives' frames
    // are of several link types.
    const FrameFileFormat& format() const { return format_; }
    std::optional<PacketRecord> next();

private:
    struct Head {
        uint64_t nanos;
        size_t cursor;  // archive order, then flow order
        PacketRecord packet;
    };
    static bool later(const Head& x, const Head& y) {
        return x.nanos != y.nanos ? x.nanos > y.nanos : x.cursor > y.cursor;
    }
    void advance(size_t cursor);

    FrameFileFormat format_;
    std::optional<uint32_t> only_;
    std::vector<PacketCursor> cursors_;
    std::vector<size_t> budget_of_;  // archive of each cursor
    std::vector<ExportBudget> budgets_;
    std::vector<Head> heap_;
};

}  // namespace flowsieve::archive
