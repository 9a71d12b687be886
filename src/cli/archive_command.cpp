// flowsieve archive: every flow of a capture in one indexed archive.
#include "archive/writer.hpp"
#include "cli/command.hpp"

namespace flowsieve::cli {
namespace {

const char* const kArchiveHelp = R"(Usage: flowsieve archive CAPTURE OUT.fsieve [OPTIONS]

Stores every flow of CAPTURE in the indexed archive OUT.fsieve, written as
OUT.fsieve.tmp and renamed at the end. CAPTURE is a pcap or pcapng file, or
- for standard input. OUT.fsieve may be - for standard output, or a
character device or FIFO, which gets the archive once it is built; a
symlink there is refused, and so is one of the inputs.

Options:
  -s, --strategy NAME   session (default), flow, host, hostpair, mac, bssid,
                        nosplit or connection (the session's 5-tuple, a
                        flow per connection)
      --idle-timeout PROTO=SECONDS
                        -s connection: a gap longer than this ends a
                        connection of PROTO (tcp: 300, udp and icmp: 60;
                        icmp covers every other protocol); repeatable
      --ip ADDR         keep only packets from or to ADDR; repeated, those
                        from or to any of the addresses
      --port N          keep only packets from or to port N; repeated, any
                        of the ports
      --between ADDR    keep only packets from or to ADDR; repeated, those
                        with every address given as source or destination:
                        --between A --between B keeps what A and B exchange
      --between-port N  keep only packets with every port N given as
                        source or destination port (repeatable)
      --filter EXPR     keep only packets that the tcpdump-style filter
                        EXPR takes, such as 'tcp port 443 and host 10.0.0.1'
                        (needs libpcap); it sees the frame as captured, with
                        any tunnel's outer headers, where --ip, --port and
                        --proto see the flow --tunnels chooses
      --tunnels MODE    outer (default): a packet's flow is that of the IP
                        layer its link layer carries; inner: that of the
                        innermost IP layer inside VXLAN, GENEVE, GRE (with
                        ERSPAN and PPTP), GTP-U and IP-in-IP tunnels, up to
                        8 deep, with the VNI of VXLAN or GENEVE starting its
                        key (vni101_6_...); files keep the whole frames
      --dedup           drop a packet captured twice: one whose IP packet,
                        from its IP header on, equals that of one of the
                        last 64 packets read within 10 ms (their link
                        layers may differ: tcpdump -i any on a host with
                        bridges, two interfaces, a doubled SPAN port);
                        counted at the end
      --report json     print one JSON object on standard output at the
                        end: packets_read, packets_kept (by the filters),
                        flows, files, bytes_read, fragments_matched,
                        fragments_unmatched, tunnel_packets (inside a
                        tunnel --tunnels inner opens), undecoded (packets
                        of a link type flowsieve does not decode, by link
                        type), warnings, and with --dedup
                        duplicates_dropped
  -q, --quiet           no progress display, no IP fragments or duplicates
                        line and no tunnels hint
  -h, --help            show this help

Progress is shown on standard error when it is a terminal. Ctrl-C stops the
build; a failed or interrupted build removes its temporary file.
)";

int run_archive(const Parsed& p) {
    expect_args(p, 2, 2, "CAPTURE and OUT.fsieve");
    archive::BuildOptions o;
    o.input_path = p.args[0];
    o.output_path = p.args[1];
    check_output(o.output_path, {o.input_path}, "OUT.fsieve -");
    o.strategy = strategy(p);
    o.tunnels = tunnels(p);
    o.idle = idle_timeouts(p);
    o.port_filters = port_filters(p);
    o.ip_filters = ip_filters(p);
    const auto filter = pcap_filter(p);
    BetweenFilter between(p, filter.get());
    o.frame_filter = between.first();
    check_report(p);
    ReadingNotes notes;
    o.notes = &notes;
    o.dedup = p.has(kDedup);
    ProgressDisplay display(show_progress(p), o.input_path != "-");
    o.observer = &display;
    uint64_t removed = 0;
    o.removed_temporaries = &removed;
    const auto status = archive::build_archive(o);
    return conclude(p, status, display, 1, removed, notes, filter.get());
}

}  // namespace

const Command kArchiveCommand = {"archive", kArchiveHelp, "s:q",
                                 {{"strategy", required_argument, nullptr, 's'},
                                  {"ip", required_argument, nullptr, kIp},
                                  {"port", required_argument, nullptr, kPort},
                                  {"filter", required_argument, nullptr, kFilter},
                                  {"between", required_argument, nullptr, kBetween},
                                  {"between-port", required_argument, nullptr, kBetweenPort},
                                  {"report", required_argument, nullptr, kReport},
                                  {"tunnels", required_argument, nullptr, kTunnels},
                                  {"dedup", no_argument, nullptr, kDedup},
                                  {"idle-timeout", required_argument, nullptr, kIdleTimeout},
                                  {"quiet", no_argument, nullptr, 'q'}},
                                 run_archive, true};

}  // namespace flowsieve::cli
