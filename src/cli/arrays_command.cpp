// flowsieve arrays: the flows of captures and archives as arrays in one
// .npz file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "archive/format.hpp"
#include "archive/mod.hpp"
#include "archive/store.hpp"
#include "arrays/npz.hpp"
#include "cli/command.hpp"
#include "cli/store.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::cli {
namespace {

const char* const kArraysHelp = R"(Usage: flowsieve arrays INPUT... -o OUT.npz [OPTIONS]

Writes the flows of each INPUT, a pcap or pcapng capture (- for standard
input), a .fsieve archive, or a folder standing for the *.fsieve archives in
it (in name order, each an input of its own), as arrays with one row per flow
into OUT.npz, which numpy.load opens (written under a hidden temporary name,
.OUT.npz.tmp, and renamed at the end; - is standard output, a character
device or FIFO is written directly, a symlink or an input is refused):
id, proto, src_port, dst_port, src_addr, dst_addr (IPv6 as RFC 5952 writes
it), key, community_id, start_ns, end_ns, packet_count, byte_count,
fwd_packets, fwd_bytes, bwd_packets, bwd_bytes, payload_len, server_name and
app (text, empty for none, as the flows command lists them); sizes,
directions and iat_ns of the first K packets (-1 past a flow's end) and
their tcp_flags (0 past the end, and for a packet that is not TCP);
packet_bytes, their first M bytes from the IP header on; payload, the first
L bytes of the flow's payload. With several inputs, source holds each row's
input by position (0 for the first) and sources the inputs' names, a
folder's archives each by its own.

Options:
  -o, --output FILE     the .npz file to write (required; - for standard output)
      --packets K       the first K packets of every flow (default 8)
      --packet-bytes M  the first M bytes of each of them (default 0)
      --payload-bytes L the first L bytes of the flow's payload (default 0)
      --no-anonymize    keep the IP addresses in the packet bytes (by default
                        they are zeroed; ports stay)
  -s, --strategy NAME   for captures: session (default), flow, host, hostpair,
                        mac, bssid, nosplit or connection
      --idle-timeout PROTO=SECONDS
                        -s connection: a gap longer than this ends a
                        connection of PROTO (tcp: 300, udp and icmp: 60;
                        icmp covers every other protocol); repeatable
      --ip ADDR         for captures: keep only packets from or to ADDR
                        (repeatable)
      --port N          for captures: keep only packets from or to port N
                        (repeatable)
      --filter EXPR     for captures: keep only packets that the tcpdump-style
                        filter EXPR takes (needs libpcap), on the frame as
                        captured, outer headers of any tunnel included
      --tunnels MODE    for captures: outer (default) or inner, the flows
                        inside VXLAN, GENEVE, GRE, GTP-U and IP-in-IP tunnels
                        (see flowsieve split --help)
      --dedup           for captures: drop a packet captured twice, as
                        split --dedup does (see its --help)
  -q, --quiet           no progress display
  -h, --help            show this help

Progress is shown on standard error when it is a terminal. Ctrl-C stops the
run; nothing is left behind.
)";

// Whether the file starts as an archive does; anything else is read as a capture.
bool is_archive(const std::string& path) {
    if (path == "-") return false;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint8_t magic[sizeof archive::kHeaderMagic];
    return fd.valid() && ::read(fd.get(), magic, sizeof magic) == ssize_t(sizeof magic) &&
           std::memcmp(magic, archive::kHeaderMagic, sizeof magic) == 0;
}

// One progress line over all inputs: each input's figures are added to
// those of the inputs before it.
class RunningTotal final : public ProgressObserver {
public:
    RunningTotal(ProgressDisplay& display, uint64_t total_size) : display_(display), total_size_(total_size) {}
    bool keep_going(const Progress& p) override {
        last_ = p;
        return display_.keep_going(sum(p));
    }
    void next_input() {
        base_ = sum(last_);
        last_ = Progress();
    }

private:
    Progress sum(const Progress& p) const {
        return {base_.bytes_read + p.bytes_read,         total_size_,
                base_.packets + p.packets,               base_.flows + p.flows,
                base_.fragments_matched + p.fragments_matched, base_.fragments_unmatched + p.fragments_unmatched};
    }

    ProgressDisplay& display_;
    uint64_t total_size_;
    Progress base_;
    Progress last_;
};

int run_arrays(const Parsed& p) {
    expect_args(p, 1, SIZE_MAX, "INPUT");
    // Standard input is read once: a second - would find it empty.
    if (std::count(p.args.begin(), p.args.end(), "-") > 1) usage("- (standard input) can be given only once");
    if (!p.has('o')) usage("arrays needs -o OUT.npz");
    const std::string output = p.last('o');
    arrays::Shape shape;
    shape.packets = uint32_t(number(p.last(kPackets, "8"), arrays::Shape::kMaxPackets, "--packets value"));
    shape.packet_bytes =
        uint32_t(number(p.last(kPacketBytes, "0"), arrays::Shape::kMaxPacketBytes, "--packet-bytes value"));
    shape.payload_bytes =
        uint32_t(number(p.last(kPayloadBytes, "0"), arrays::Shape::kMaxPayloadBytes, "--payload-bytes value"));
    shape.anonymize = !p.has(kNoAnonymize);

    // A folder stands for its archives, as for flows and export.
    auto members = archive::store_archives(p.args);
    if (!members) throw std::move(members).error();
    const std::vector<archive::StoreArchive>& inputs = members.value();
    std::vector<std::string> input_paths;
    for (const archive::StoreArchive& member : inputs) input_paths.push_back(member.path);
    check_output(output, input_paths, "-o -");
    bool any_archive = false;
    bool sizes_known = true;
    uint64_t total_size = 0;
    for (const auto& [input, in_folder] : inputs) {
        any_archive = any_archive || in_folder || is_archive(input);
        struct stat st;
        if (input == "-" || ::stat(input.c_str(), &st) != 0) sizes_known = false;
        else total_size += uint64_t(st.st_size);
    }
    if (any_archive && (p.has('s') || p.has(kIp) || p.has(kPort) || p.has(kFilter) || p.has(kTunnels) ||
                        p.has(kDedup)))
        usage("-s/--strategy, --ip, --port, --filter, --tunnels and --dedup apply to captures: an archive keeps its "
              "own flows");
    arrays::CaptureInput capture;
    capture.strategy = strategy(p);
    capture.tunnels = tunnels(p);
    capture.idle = idle_timeouts(p);
    capture.ip_filters = ip_filters(p);
    capture.port_filters = port_filters(p);
    const auto filter = pcap_filter(p);
    capture.frame_filter = filter.get();
    capture.dedup = p.has(kDedup);

    ProgressDisplay display(show_progress(p), sizes_known);
    RunningTotal total(display, total_size);
    ReadingNotes notes;  // of all captures together
    arrays::Builder builder(shape);
    Status<CallError> status;
    size_t skipped = 0;
    for (size_t i = 0; status && i < inputs.size(); ++i) {
        const auto& [input, in_folder] = inputs[i];
        if (in_folder || is_archive(input)) {
            auto reader = archive::open_archive(input);
            if (!reader) {
                status = CallError::io(std::move(reader).error(), input);
            } else {
                const archive::FlowList flows = archive::all_flows(*reader.value());
                status = archive::find_packets(*reader.value(), flows, input);
                if (status) status = arrays::add_archive(builder, *reader.value(), flows, uint32_t(i), &total);
            }
            // A damaged archive is named; one of a folder is skipped, as flows and export skip it.
            if (!status && status.error().kind != CallError::Kind::Interrupted) {
                if (!in_folder) {
                    status = std::move(status).error().about(input);
                } else {
                    warn_skipped(input, status.error().message);
                    status = {};
                    ++skipped;
                }
            }
        } else {
            ReadingNotes these;
            capture.path = input;
            capture.notes = &these;
            capture.observer = &total;
            status = arrays::add_capture(builder, capture, uint32_t(i));
            notes.packets += these.packets;
            notes.duplicates += these.duplicates;
            if (!notes.undecoded) notes.undecoded_link_type = these.undecoded_link_type;
            notes.undecoded += these.undecoded;
            for (size_t k = 0; k < std::size(notes.tunnel_packets); ++k)
                notes.tunnel_packets[k] += these.tunnel_packets[k];
            if (!notes.cut_off_at) notes.cut_off_at = these.cut_off_at;
        }
        total.next_input();
    }
    if (status && skipped == inputs.size()) status = CallError::runtime("no archive could be read");
    if (status) {
        std::vector<arrays::Array> columns = builder.finish(names_several(p.args));
        if (names_several(p.args)) columns.push_back(arrays::names_array("sources", input_paths));
        status = arrays::write_npz(output, columns);
    }
    return conclude(p, status, display, 1, 0, notes, filter.get());
}

}  // namespace

const Command kArraysCommand = {"arrays", kArraysHelp, "o:s:q",
                                {{"output", required_argument, nullptr, 'o'},
                                 {"packets", required_argument, nullptr, kPackets},
                                 {"packet-bytes", required_argument, nullptr, kPacketBytes},
                                 {"payload-bytes", required_argument, nullptr, kPayloadBytes},
                                 {"no-anonymize", no_argument, nullptr, kNoAnonymize},
                                 {"strategy", required_argument, nullptr, 's'},
                                 {"ip", required_argument, nullptr, kIp},
                                 {"port", required_argument, nullptr, kPort},
                                 {"filter", required_argument, nullptr, kFilter},
                                 {"tunnels", required_argument, nullptr, kTunnels},
                                 {"dedup", no_argument, nullptr, kDedup},
                                  {"idle-timeout", required_argument, nullptr, kIdleTimeout},
                                 {"quiet", no_argument, nullptr, 'q'}},
                                run_arrays, true};

}  // namespace flowsieve::cli
