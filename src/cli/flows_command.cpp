// flowsieve flows: the flows of an archive, all or those of a query.
#include "archive/mod.hpp"
#include "cli/command.hpp"
#include "cli/listing.hpp"

namespace flowsieve::cli {
namespace {

const char* const kFlowsHelp = R"(Usage: flowsieve flows ARCHIVE [--ip ADDR | --port N | --proto NAME] [--format F]

Lists the flows of an archive, one line each: id, protocol, source and
destination address and port, packets, bytes (original lengths), start and
duration in seconds. Without a query every flow is listed in table order;
a query lists the matching flows by ascending id.

Options:
      --ip ADDR         flows from or to ADDR (IPv4 or IPv6)
      --port N          flows from or to port N
      --proto NAME      flows of protocol tcp, udp, icmp or icmpv6
  -f, --format F        table (default): aligned columns and a total line,
                        start as UTC date and time; csv: a header row, then
                        one row per flow; json: one object per line.
                        csv and json fields: id, proto, proto_name, src_addr,
                        src_port, dst_addr, dst_port, packet_count,
                        total_bytes, start_ts (seconds since the epoch),
                        duration
  -h, --help            show this help
)";

template <class T>
T value_or_throw(Result<T> result) {
    if (!result) throw CallError::value(result.error().message);
    return std::move(result).value();
}

int run_flows(const Parsed& p) {
    expect_args(p, 1, 1, "ARCHIVE");
    if (p.all(kIp).size() + p.all(kPort).size() + p.all(kProto).size() > 1)
        usage("give at most one of --ip, --port and --proto");
    const auto format = parse_list_format(lowered(p.last('f', "table")));
    if (!format) usage("unknown format '" + p.last('f') + "': table, csv or json");
    std::optional<uint16_t> by_port;
    if (p.has(kPort)) by_port = port(p.last(kPort));

    const auto reader = open_or_throw(p.args[0]);
    archive::FlowList flows;
    if (p.has(kIp)) flows = value_or_throw(archive::find_by_ip(*reader, p.last(kIp)));
    else if (by_port) flows = archive::find_by_port(*reader, *by_port);
    else if (p.has(kProto)) flows = value_or_throw(archive::find_by_protocol(*reader, lowered(p.last(kProto))));
    else flows = archive::all_flows(*reader);
    print_flows(stdout, flows, *format);
    return 0;
}

}  // namespace

const Command kFlowsCommand = {"flows", kFlowsHelp, "f:",
                               {{"ip", required_argument, nullptr, kIp},
                                {"port", required_argument, nullptr, kPort},
                                {"proto", required_argument, nullptr, kProto},
                                {"format", required_argument, nullptr, 'f'}},
                               run_flows, false};

}  // namespace flowsieve::cli
