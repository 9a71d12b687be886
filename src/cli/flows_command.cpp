// flowsieve flows: the flows of archives, all or those of a query.
#include "archive/query.hpp"
#include "cli/command.hpp"
#include "cli/listing.hpp"
#include "cli/store.hpp"

namespace flowsieve::cli {
namespace {

const char* const kFlowsHelp = R"(Usage: flowsieve flows ARCHIVE|FOLDER... [QUERY] [--format F]
                      [-l | --columns C]

Lists the flows of archives, one line each: id, protocol, source and
destination address:port, packets, bytes (original lengths), start and
duration; with --long the Community ID too. A FOLDER stands for every
*.fsieve file in it, by name (a folder without any is an error); with
several archives or a folder each line starts with the archive's file name
(ids are each archive's own). An archive in a folder that cannot be read is
named in a warning and skipped. Without a query every flow is listed in
table order; a query lists the matching flows by ascending id.

Query (a flow is listed when it meets every condition given):
      --ip ADDR         flows from or to ADDR (IPv4 or IPv6); repeated,
                        flows from or to any of the addresses
      --port N          flows from or to port N; repeated, any of the ports
      --between ADDR    flows from or to ADDR; repeated, flows with every
                        address given as an endpoint: --between A
                        --between B lists the flows between A and B
      --between-port N  flows with every port N given as source or
                        destination port (repeatable)
      --proto PROTO     flows of protocol tcp, udp, icmp, icmpv6 or a
                        number (47, 132); repeated, any of them
      --since TIME      flows that end at TIME or later
      --until TIME      flows that start at TIME or earlier
      --flow 'PROTO ADDR PORT ADDR PORT'
                        the flows of one connection, either direction;
                        PROTO a name or a number
      --community-id ID flows with this Community ID: 1: and the base64
                        of 20 bytes, as listed
      --vni N           flows inside a VXLAN or GENEVE tunnel of VNI N (the
                        innermost), in an archive built with --tunnels inner
      --name PATTERN    flows whose server name (TLS or QUIC server name,
                        HTTP Host, DNS query) matches, ignoring case:
                        *.example.com every name below example.com,
                        example.com that name alone; repeated, any of them
      --app NAME        flows whose payload is tls, quic, http, dns, ssh or
                        bittorrent
      --state STATE     flows whose connection ended in STATE, Zeek's
                        conn_state code: S0, S1, SF, REJ, S2, S3, RSTO,
                        RSTR, RSTOS0, RSTRH, SH, SHR, OTH; repeated, any
TIME is seconds since the epoch (to the nanosecond) or an ISO 8601 date and
time, in UTC unless it carries an offset: 1700000000.5,
2024-05-01T14:00:00Z, 2024-05-01 16:00+02:00.

Options:
  -f, --format F        table (default): aligned columns that fit in 80
                        for IPv4 flows and a total line; addr:port with
                        IPv6 in brackets, start as UTC time to the second
                        (its date in the total line, or in each row when
                        the flows start on several days), duration in
                        seconds to the millisecond. csv: a header row,
                        then one row per flow; json: one object per line.
                        csv and json carry every field: archive (with
                        several archives), id, proto, proto_name, src_addr,
                        src_port, dst_addr, dst_port, packet_count,
                        total_bytes, start_ts (seconds since the epoch),
                        start_ns and end_ns (nanoseconds since the epoch,
                        integers), duration (seconds), orig_packets,
                        orig_ip_bytes, resp_packets and resp_ip_bytes (by
                        originator and responder, IP bytes as the headers
                        state them), flipped (the originator is the
                        destination), state (Zeek's conn_state) and history
                        (Zeek's letters), null in json for an archive older
                        than them, app and server_name (empty, or null in
                        json, where the payload did not say), tunnel (the
                        tunnels of the flow's first packet, such as "geneve
                        0 / vxlan 303", in an archive built with --tunnels
                        inner; empty, or null in json, outside tunnels),
                        community_id (empty, or null in json, for a flow
                        without an IP layer). IPv6 addresses everywhere in
                        the short form of RFC 5952 (::1), as tshark and Zeek
                        print them; the Python Flow attributes give them in
                        full. zeek: Zeek's tab-separated conn.log,
                        originator first, "-" for what is unknown, uid a
                        hash of the archive's file name and the flow id
  -l, --long            the table with every column
      --columns C       the table with columns C, comma-separated, in this
                        order, of archive, id, proto, src, dst,
                        packet_count, total_bytes, start_ts, duration,
                        state, history, app, server_name, tunnel,
                        community_id
  -h, --help            show this help
)";

int run_flows(const Parsed& p) {
    expect_args(p, 1, SIZE_MAX, "ARCHIVE or FOLDER");
    const auto format = parse_list_format(one_of(p, 'f', p.last('f', "table"), {"table", "csv", "json", "zeek"}));
    const archive::FlowQuery query = parse_query(p);
    const bool name_archives = names_several(p.args);
    if (*format != ListFormat::Table && (p.has('l') || p.has(kColumns)))
        usage("-l/--long and --columns choose the table's columns: csv and json carry every field");
    if (p.has('l') && p.has(kColumns)) usage("-l/--long and --columns cannot be given together");
    const auto columns = table_columns(p.has('l'), p.has(kColumns) ? std::optional(p.last(kColumns)) : std::nullopt,
                                       name_archives);
    if (!columns) usage(columns.error().message);
    // csv and json rows go out as each archive answers, which then goes.
    const bool streamed = *format != ListFormat::Table;
    print_header(stdout, *format, name_archives);
    const archive::Answers answers = choose_flows(p.args, query, [&](const archive::ArchiveReader& reader, const std::string& path) {
        archive::FlowList flows = archive::select_flows(reader, query);
        if (!streamed) return flows;
        print_rows(stdout, {archive::base_name(path), &reader, flows}, *format, name_archives);
        return archive::FlowList{};
    });
    if (!streamed) {
        std::vector<ListedFlows> listed;
        for (const archive::Answer& a : answers.archives)
            listed.push_back({archive::base_name(a.path), a.reader.get(), a.flows()});
        print_table(stdout, listed, columns.value());
    }
    return 0;
}

std::vector<option> flows_options() {
    std::vector<option> options = query_options();
    options.push_back({"format", required_argument, nullptr, 'f'});
    options.push_back({"long", no_argument, nullptr, 'l'});
    options.push_back({"columns", required_argument, nullptr, kColumns});
    return options;
}

}  // namespace

const Command kFlowsCommand = {"flows", kFlowsHelp, "f:l", flows_options(), run_flows, false};

}  // namespace flowsieve::cli
