// flowsieve split: each flow of a capture to a file of its own.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include "cli/command.hpp"
#include "split/driver.hpp"

namespace flowsieve::cli {
namespace {

const char* const kSplitHelp = R"(Usage: flowsieve split CAPTURE OUTDIR [OPTIONS]

Writes the packets of each flow of CAPTURE to a file of its own in OUTDIR
(created if missing), named STEM_KEY.pcap or STEM_KEY.l7: STEM is the
capture's file name without its extension (stdin for standard input) or
the --stem given, KEY the flow key with each of
"*./:<>?\| and control characters replaced by _, for example
cap_6_10_0_0_1_10_0_0_2_999_443.pcap. Files are written under hidden
temporary names (.NAME.tmp) and renamed when the whole capture is read;
a failed or interrupted split removes the temporary files it made.
CAPTURE is a pcap or pcapng file, or - for standard input. A pcapng
capture of several link types gives .pcapng files, an interface per link
type, which a note on standard error names: tshark reads them, libpcap up
to 1.10 (tcpdump) does not.

With -t stream (strategies session and flow only), each side of each TCP
connection that sent bytes gets STEM_KEY.SENDER.stream, SENDER being its
address and port made safe as KEY is (cap_6_10_0_0_1_10_0_0_2_999_443.
10_0_0_1_999.stream): the bytes in sequence order, each once; where
segments overlap, the bytes seen first are kept. Bytes never captured are
left out, or written as zeros with --stream-gaps zero, and counted at the
end; --report json lists each file's gaps. A later connection on the same
addresses and ports gets STEM_KEY_2.SENDER.stream, then _3, ... Flows that
are not TCP get STEM_KEY.stream, their payload in capture order as with l7.

Options:
  -s, --strategy NAME   how packets group into flows: session (default; both
                        directions of a 5-tuple), flow (one direction), host,
                        hostpair, mac, bssid, nosplit or connection (one
                        flow per connection on a 5-tuple: later ones get
                        _2, _3, ... in their names)
      --idle-timeout PROTO=SECONDS
                        -s connection: a gap longer than this ends a
                        connection of PROTO (tcp: 300, udp and icmp: 60;
                        icmp covers every other protocol); repeatable
  -t, --type TYPE       pcap (default): the flow's frames as a pcap file;
                        l7: the flow's payload bytes (empty flows get no file);
                        stream: the bytes each side of a TCP connection sent,
                        reassembled, in STEM_KEY.SENDER.stream (see above)
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
      --stream-gaps HOW with -t stream, what bytes never captured become:
                        skip (default): nothing, the stream goes on with
                        the bytes after them; zero: as many zero bytes, so
                        that offsets in the file are those in the stream
      --max-open N      files held open at once (default 10000)
      --buffer BYTES    write buffer per open file (default 10000)
      --stem NAME       begin the file names with NAME
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
                        type), warnings, with --dedup duplicates_dropped,
                        and with -t stream connections_with_gaps,
                        bytes_missing, bytes_after_fin, bytes_in_no_stream
                        and gaps: each gap as {"file", "offset" (the
                        bytes of the file before it), "bytes_missing"}
  -q, --quiet           no progress display, no IP fragments or duplicates
                        line and no tunnels hint
  -h, --help            show this help

Progress is shown on standard error when it is a terminal. Ctrl-C stops the
split and removes its temporary files.
)";

// Payload files of flows without payload are removed by the split, so the
// files of an l7 split are counted in the directory: those of the capture's
// stem written since the split began.
uint64_t count_new_files(const std::string& dir, const std::string& prefix, const std::string& suffix,
                         const timespec& since) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return 0;
    uint64_t count = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mtim.tv_sec > since.tv_sec ||
             (st.st_mtim.tv_sec == since.tv_sec && st.st_mtim.tv_nsec >= since.tv_nsec)))
            ++count;
    }
    ::closedir(d);
    return count;
}

int run_split(const Parsed& p) {
    expect_args(p, 2, 2, "CAPTURE and OUTDIR");
    SplitOptions o;
    o.input_path = p.args[0];
    o.output_dir = p.args[1];
    o.strategy = strategy(p);
    o.tunnels = tunnels(p);
    o.idle = idle_timeouts(p);
    o.output_type = choice(one_of(p, 't', p.last('t', "pcap"), {"pcap", "l7", "stream"}));
    o.stem = p.last(kStem, o.input_path == "-" ? "stdin" : file_stem(o.input_path));
    // A name, not a path: the files stay in OUTDIR.
    if (o.stem.empty() || o.stem.find('/') != std::string::npos)
        usage("invalid --stem value '" + o.stem + "': a file name without /");
    o.port_filters = port_filters(p);
    if (p.has(kMaxOpen)) o.max_sessions = uint32_t(number(p.last(kMaxOpen), UINT32_MAX, "--max-open value"));
    if (p.has(kBuffer)) o.buffer_bytes = size_t(number(p.last(kBuffer), SIZE_MAX, "--buffer value"));
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
    timespec started;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &started);  // the clock of file times
    o.fill_gaps = fill_stream_gaps(p);
    if (p.has(kStreamGaps) && o.output_type.lowered != "stream") usage("--stream-gaps applies to -t stream");
    StreamGaps gaps;
    o.gaps = &gaps;
    std::vector<uint32_t> pcapng_link_types;
    o.pcapng_link_types = &pcapng_link_types;
    std::vector<StreamHole> holes;
    o.holes = &holes;
    const auto status = split_capture(o);
    if (status && !pcapng_link_types.empty()) {
        display.clear();
        note_pcapng(pcapng_link_types);
    }
    uint64_t files = display.last().flows;
    if (status && (display.enabled() || p.has(kReport)) && o.output_type.lowered != "pcap")
        files = count_new_files(o.output_dir, o.stem + "_", "." + o.output_type.lowered, started);
    const bool streams = o.output_type.lowered == "stream";
    return conclude(p, status, display, files, removed, notes, filter.get(), streams ? &gaps : nullptr,
                    streams ? &holes : nullptr);
}

}  // namespace

const Command kSplitCommand = {"split", kSplitHelp, "s:t:q",
                               {{"strategy", required_argument, nullptr, 's'},
                                {"type", required_argument, nullptr, 't'},
                                {"ip", required_argument, nullptr, kIp},
                                {"port", required_argument, nullptr, kPort},
                                {"filter", required_argument, nullptr, kFilter},
                                {"max-open", required_argument, nullptr, kMaxOpen},
                                {"buffer", required_argument, nullptr, kBuffer},
                                {"stem", required_argument, nullptr, kStem},
                                {"between", required_argument, nullptr, kBetween},
                                {"between-port", required_argument, nullptr, kBetweenPort},
                                {"report", required_argument, nullptr, kReport},
                                {"tunnels", required_argument, nullptr, kTunnels},
                                {"dedup", no_argument, nullptr, kDedup},
                                {"stream-gaps", required_argument, nullptr, kStreamGaps},
                                  {"idle-timeout", required_argument, nullptr, kIdleTimeout},
                                {"quiet", no_argument, nullptr, 'q'}},
                               run_split, true};

}  // namespace flowsieve::cli
