// The flowsieve command: split a capture, build an archive, list and export
// its flows. Exit status: 0 success, 1 failure, 2 usage error, 128 + the
// signal number when interrupted.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/mod.hpp"
#include "archive/writer.hpp"
#include "cli/export.hpp"
#include "cli/listing.hpp"
#include "cli/progress.hpp"
#include "flow/filter.hpp"
#include "split/driver.hpp"
#include "split/writer.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve::cli {
namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

const char* const kMainHelp = R"(Usage: flowsieve COMMAND ARGS...

Groups the packets of a pcap or pcapng capture into flows and writes one
file per flow, or stores all flows in one indexed .fsieve archive.

Commands:
  split CAPTURE OUTDIR       write each flow to a file of its own
  archive CAPTURE OUT        build a .fsieve archive of the capture's flows
  flows ARCHIVE              list the flows of an archive
  export ARCHIVE -o DIR      write flows of an archive as pcap files

CAPTURE is a capture file, or - for standard input.
Run 'flowsieve COMMAND --help' for a command's options.

Options:
  -h, --help      show this help
  -V, --version   show the version

Exit status: 0 success, 1 failure, 2 usage error, 130 interrupted (Ctrl-C;
128 + the signal number in general).
)";

const char* const kSplitHelp = R"(Usage: flowsieve split CAPTURE OUTDIR [OPTIONS]

Writes the packets of each flow of CAPTURE to a file of its own in OUTDIR
(created if missing), named STEM_KEY.pcap or STEM_KEY.l7: STEM is the
capture's file name without its extension, KEY the flow key with each of
"*./:<>?\| and control characters replaced by _, for example
cap_6_10_0_0_1_10_0_0_2_999_443.pcap. Files are written under hidden
temporary names (.NAME.tmp) and renamed when the whole capture is read.
CAPTURE is a pcap or pcapng file, or - for standard input.

Options:
  -s, --strategy NAME   how packets group into flows: session (default; both
                        directions of a 5-tuple), flow (one direction), host,
                        hostpair, mac, bssid or nosplit
  -t, --type TYPE       pcap (default): the flow's frames as a pcap file;
                        l7: the flow's payload bytes (empty flows get no file)
      --ip ADDR         keep only packets from or to ADDR (repeatable)
      --port N          keep only packets from or to port N (repeatable)
      --max-open N      files held open at once (default 10000)
      --buffer BYTES    write buffer per open file (default 10000)
  -q, --quiet           no progress display
  -h, --help            show this help

Progress is shown on standard error when it is a terminal. Ctrl-C stops the
split and leaves only temporary files.
)";

const char* const kArchiveHelp = R"(Usage: flowsieve archive CAPTURE OUT.fsieve [OPTIONS]

Stores every flow of CAPTURE in the indexed archive OUT.fsieve, written as
OUT.fsieve.tmp and renamed at the end. CAPTURE is a pcap or pcapng file, or
- for standard input.

Options:
  -s, --strategy NAME   session (default), flow, host, hostpair, mac, bssid
                        or nosplit
      --ip ADDR         keep only packets from or to ADDR (repeatable)
      --port N          keep only packets from or to port N (repeatable)
  -q, --quiet           no progress display
  -h, --help            show this help

Progress is shown on standard error when it is a terminal. Ctrl-C stops the
build and leaves only the temporary file.
)";

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

const char* const kExportHelp = R"(Usage: flowsieve export ARCHIVE -o DIR [ID...]
       flowsieve export ARCHIVE ID -o -

Writes flows of an archive as pcap files: the flows with the given ids, or
every flow when no id is given. DIR is created if missing; with -o - the one
flow given is written to standard output.

File names follow the split's: STEM_KEY.pcap, where STEM is the archive's
file name without its extension and KEY is built from the flow's protocol,
addresses and ports as the session strategy builds it
(PROTO_ADDR_ADDR_PORT_PORT, endpoints in session order, with "*./:<>?\| and
control characters replaced by _), for example
traffic_6_10_0_0_1_10_0_0_2_999_443.pcap; a flow without an IP layer gets
KEY no_ip_ID. Flows that would share a name each get _ID appended. Each file
is written under a hidden temporary name (.NAME.tmp) and renamed.

Options:
  -o, --output DIR      the output directory, or - for standard output
  -h, --help            show this help
)";

enum LongOnly { kIp = 256, kPort, kMaxOpen, kBuffer, kProto };

struct UsageError {
    std::string message;
};

[[noreturn]] void usage(std::string message) { throw UsageError{std::move(message)}; }

void message(const std::string& text) { std::fprintf(stderr, "flowsieve: %s\n", text.c_str()); }

int fail(const std::string& text) {
    message(text);
    return kFailure;
}

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

ChoiceText choice(const std::string& given) { return {given, lowered(given)}; }

// Decimal digits only, at most `max`.
uint64_t number(const std::string& text, uint64_t max, const char* what) {
    uint64_t value = 0;
    bool ok = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - uint64_t(c - '0')) / 10) {
            ok = false;
            break;
        }
        value = value * 10 + uint64_t(c - '0');
    }
    if (!ok) usage(std::string("invalid ") + what + " '" + text + "': not a number");
    if (value > max) usage(std::string("invalid ") + what + " '" + text + "': at most " + std::to_string(max));
    return value;
}

uint16_t port(const std::string& text) { return uint16_t(number(text, 65535, "port")); }

struct Parsed;

struct Command {
    const char* name;
    const char* help;
    const char* short_options;  // after the leading ':'
    std::vector<option> long_options;
    int (*run)(const Parsed&);
};

struct Parsed {
    const Command* command;
    std::vector<std::pair<int, std::string>> options;  // in command-line order
    std::vector<std::string> args;

    std::vector<std::string> all(int code) const {
        std::vector<std::string> out;
        for (const auto& [c, value] : options)
            if (c == code) out.push_back(value);
        return out;
    }
    bool has(int code) const { return !all(code).empty(); }
    // The last value given, or the default.
    std::string last(int code, std::string fallback = "") const {
        auto values = all(code);
        return values.empty() ? fallback : values.back();
    }
};

std::string option_name(const Command& command, int code) {
    for (const option& o : command.long_options)
        if (o.name && o.val == code) return "--" + std::string(o.name);
    return std::string("-") + char(code);
}

// Options may come before, between or after the arguments; "--" ends them.
// Returns false when --help was given (the help is printed).
bool parse(const Command& command, int argc, char** argv, Parsed& out) {
    std::vector<option> longs = command.long_options;
    longs.push_back({"help", no_argument, nullptr, 'h'});
    longs.push_back({nullptr, 0, nullptr, 0});
    const std::string shorts = std::string(":") + command.short_options + "h";
    out.command = &command;
    opterr = 0;
    optind = 1;
    for (;;) {
        const int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
        if (c == -1) break;
        if (c == 'h') {
            std::fputs(command.help, stdout);
            return false;
        }
        if (c == '?') {
            const std::string arg = argv[optind - 1];
            if (optopt && arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos)
                usage("option '" + option_name(command, optopt) + "' takes no value");
            usage(optopt ? std::string("unknown option '-") + char(optopt) + "'" : "unknown option '" + arg + "'");
        }
        if (c == ':') usage("option '" + option_name(command, optopt) + "' needs a value");
        out.options.emplace_back(c, optarg ? optarg : "");
    }
    for (int i = optind; i < argc; ++i) out.args.emplace_back(argv[i]);
    return true;
}

void expect_args(const Parsed& p, size_t min, size_t max, const char* names) {
    if (p.args.size() < min) usage(std::string(p.command->name) + " needs " + names);
    if (p.args.size() > max) usage("unexpected argument '" + p.args[max] + "'");
}

// An address filter that is no address would silently filter nothing.
std::vector<std::string> ip_filters(const Parsed& p) {
    std::vector<std::string> ips = p.all(kIp);
    for (const std::string& ip : ips)
        if (!parse_ip_address(ip)) throw CallError::value("invalid IP address syntax: '" + ip + "'");
    return ips;
}

std::vector<uint16_t> port_filters(const Parsed& p) {
    std::vector<uint16_t> ports;
    for (const std::string& text : p.all(kPort)) ports.push_back(port(text));
    return ports;
}

// The end of split and archive: a summary, or the failure.
int conclude(const Status<CallError>& status, ProgressDisplay& display, uint64_t files) {
    if (status) {
        display.summary(files);
        return 0;
    }
    display.clear();
    message(status.error().message);
    if (status.error().kind == CallError::Kind::Interrupted)
        return 128 + (interrupt_signal() ? interrupt_signal() : SIGINT);
    return kFailure;
}

bool show_progress(const Parsed& p) { return !p.has('q') && ::isatty(2); }

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
    o.strategy = choice(p.last('s', "session"));
    o.output_type = choice(p.last('t', "pcap"));
    o.port_filters = port_filters(p);
    if (p.has(kMaxOpen)) o.max_sessions = uint32_t(number(p.last(kMaxOpen), UINT32_MAX, "--max-open value"));
    if (p.has(kBuffer)) o.buffer_bytes = size_t(number(p.last(kBuffer), SIZE_MAX, "--buffer value"));
    o.ip_filters = ip_filters(p);

    ProgressDisplay display(show_progress(p), o.input_path != "-");
    o.observer = &display;
    timespec started;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &started);  // the clock of file times
    const auto status = split_capture(o);
    uint64_t files = display.last().flows;
    if (status && display.enabled() && o.output_type.lowered == "l7")
        files = count_new_files(o.output_dir, file_stem(o.input_path) + "_", ".l7", started);
    return conclude(status, display, files);
}

int run_archive(const Parsed& p) {
    expect_args(p, 2, 2, "CAPTURE and OUT.fsieve");
    archive::BuildOptions o;
    o.input_path = p.args[0];
    o.output_path = p.args[1];
    o.strategy = choice(p.last('s', "session"));
    o.port_filters = port_filters(p);
    o.ip_filters = ip_filters(p);
    ProgressDisplay display(show_progress(p), o.input_path != "-");
    o.observer = &display;
    return conclude(archive::build_archive(o), display, 1);
}

std::shared_ptr<const archive::ArchiveReader> open_or_throw(const std::string& path) {
    auto reader = archive::open_archive(path);
    if (!reader) throw CallError::io(reader.error().message);
    return std::move(reader).value();
}

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

// Streams a flow's pcap to a descriptor through one buffer.
Status<> write_pcap(int fd, const archive::FlowPcap& pcap) {
    WriteBuffer buffer(std::min<size_t>(256 * 1024, pcap.size()));
    Status<> status;
    const bool written = pcap.stream([&](const uint8_t* data, size_t size) {
        return (status = buffer.write_copy(fd, data, size)).ok();
    });
    if (written) status = buffer.flush(fd);
    return status;
}

Status<> write_file(int dir, const std::string& name, const archive::FlowPcap& pcap) {
    const std::string temporary = "." + name + ".tmp";
    auto fd = open_regular_for_writing(dir, temporary.c_str(), O_CREAT | O_TRUNC);
    if (!fd) return os_error(fd.error());
    if (auto st = write_pcap(fd->get(), pcap); !st) return st;
    if (::close(fd->release()) != 0 && errno != EINTR) return os_error(errno);
    if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) return os_error(errno);
    return {};
}

int run_export(const Parsed& p) {
    expect_args(p, 1, SIZE_MAX, "ARCHIVE");
    if (!p.has('o')) usage("export needs -o DIR (or -o - for standard output)");
    const std::string out = p.last('o');
    std::vector<uint64_t> ids;
    for (size_t i = 1; i < p.args.size(); ++i) ids.push_back(number(p.args[i], UINT64_MAX, "flow id"));
    if (out == "-" && ids.size() != 1) usage("-o - writes one flow: give exactly one flow id");

    const auto reader = open_or_throw(p.args[0]);
    const auto& records = reader->records();
    std::vector<size_t> chosen;  // positions in the flow table
    std::set<size_t> seen;
    for (uint64_t id : ids) {
        const archive::FlowRecord* r = archive::get_flow(*reader, id);
        if (!r) return fail("no flow with id " + std::to_string(id) + " in " + p.args[0]);
        if (seen.insert(size_t(r - records.data())).second) chosen.push_back(size_t(r - records.data()));
    }
    if (ids.empty())
        for (size_t i = 0; i < records.size(); ++i) chosen.push_back(i);

    // Files hold what pipe_archive returns: all of them together at most
    // the archive's size.
    archive::ExportBudget budget(*reader);
    auto pcap_of = [&](size_t i) {
        auto pcap = archive::FlowPcap::of(*reader, records[i], budget);
        if (!pcap) throw CallError::runtime(pcap.error().message);
        return std::move(pcap).value();
    };
    if (out == "-") {
        if (auto st = write_pcap(1, pcap_of(chosen[0])); !st)
            return fail("standard output: " + st.error().message);
        return 0;
    }

    if (auto st = create_directories(out); !st) return fail(out + ": " + st.error().message);
    const UniqueFd dir(::open(out.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return fail(out + ": " + os_error_text(errno));
    const std::vector<std::string> names = flow_file_names(*reader, file_stem(p.args[0]));
    install_interrupt_handlers();
    for (size_t i : chosen) {
        if (interrupt_signal()) {
            message(CallError::interrupted().message);
            return 128 + interrupt_signal();
        }
        if (auto st = write_file(dir.get(), names[i], pcap_of(i)); !st)
            return fail(out + "/" + names[i] + ": " + st.error().message);
    }
    return 0;
}

const Command kCommands[] = {
    {"split", kSplitHelp, "s:t:q",
     {{"strategy", required_argument, nullptr, 's'},
      {"type", required_argument, nullptr, 't'},
      {"ip", required_argument, nullptr, kIp},
      {"port", required_argument, nullptr, kPort},
      {"max-open", required_argument, nullptr, kMaxOpen},
      {"buffer", required_argument, nullptr, kBuffer},
      {"quiet", no_argument, nullptr, 'q'}},
     run_split},
    {"archive", kArchiveHelp, "s:q",
     {{"strategy", required_argument, nullptr, 's'},
      {"ip", required_argument, nullptr, kIp},
      {"port", required_argument, nullptr, kPort},
      {"quiet", no_argument, nullptr, 'q'}},
     run_archive},
    {"flows", kFlowsHelp, "f:",
     {{"ip", required_argument, nullptr, kIp},
      {"port", required_argument, nullptr, kPort},
      {"proto", required_argument, nullptr, kProto},
      {"format", required_argument, nullptr, 'f'}},
     run_flows},
    {"export", kExportHelp, "o:", {{"output", required_argument, nullptr, 'o'}}, run_export},
};

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kMainHelp, stderr);
        return kUsage;
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        std::fputs(kMainHelp, stdout);
        return 0;
    }
    if (first == "-V" || first == "--version") {
        std::printf("flowsieve %s\n", FLOWSIEVE_VERSION);
        return 0;
    }
    for (const Command& command : kCommands) {
        if (first != command.name) continue;
        try {
            Parsed parsed;
            if (!parse(command, argc - 1, argv + 1, parsed)) return 0;
            if (command.run == run_split || command.run == run_archive) install_interrupt_handlers();
            return command.run(parsed);
        } catch (const UsageError& e) {
            message(e.message);
            std::fprintf(stderr, "Try 'flowsieve %s --help' for more information.\n", command.name);
            return kUsage;
        }
    }
    message(first[0] == '-' ? "unknown option '" + first + "'" : "unknown command '" + first + "'");
    std::fputs("Try 'flowsieve --help' for more information.\n", stderr);
    return kUsage;
}

}  // namespace
}  // namespace flowsieve::cli

int main(int argc, char** argv) {
    // A reader that goes away ends the command quietly, as it ends other
    // tools, whatever the parent left the disposition and mask at.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::sigprocmask(SIG_UNBLOCK, &pipe_signal, nullptr);
    int status;
    try {
        status = flowsieve::cli::run(argc, argv);
    } catch (const flowsieve::CallError& e) {
        flowsieve::cli::message(e.message);
        status = flowsieve::cli::kFailure;
    } catch (const std::bad_alloc&) {
        flowsieve::cli::message("out of memory");
        status = flowsieve::cli::kFailure;
    } catch (const std::exception& e) {
        flowsieve::cli::message(e.what());
        status = flowsieve::cli::kFailure;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == EPIPE) return status;
        if (status == 0) {
            flowsieve::cli::message(std::string("standard output: ") + flowsieve::os_error_text(errno));
            status = flowsieve::cli::kFailure;
        }
    }
    return status;
}
