#include "cli/command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "archive/mod.hpp"
#include "cli/listing.hpp"
#include "flow/filter.hpp"
#include "parser/capture.hpp"
#include "util/byte_view.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve::cli {

void usage(std::string message) { throw UsageError{std::move(message)}; }

// Names of files and the user's own words reach the terminal in messages:
// none of their bytes may drive it.
void message(const std::string& text) { std::fprintf(stderr, "flowsieve: %s\n", visible(text).c_str()); }

int fail(const std::string& text) {
    message(text);
    return kFailure;
}

int fail(const Error& error, const std::string& path) {
    return fail(describe(CallError::io(error, path)));
}

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

ChoiceText choice(const std::string& given) { return {given, lowered(given)}; }

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

uint16_t port(const std::string& text) { return uint16_t(number(text, 65535, "--port value")); }

std::string describe(const CallError& e) {
    std::string text = e.message;
    // The path comes first: not again in the text (": PATH" or " in PATH",
    // ending the text or a part of it).
    for (const char* before : {": ", " in "}) {
        const std::string named = before + e.path;
        const size_t at = e.path.empty() ? std::string::npos : text.find(named);
        const size_t end = at + named.size();
        if (at != std::string::npos && (end == text.size() || text[end] == ' ')) {
            text.erase(at, named.size());
            break;
        }
    }
    if (e.os_errno) {
        const std::string description = strerror_text(e.os_errno);
        if (text == os_error_text(e.os_errno)) text = description;
        else text += ": " + description;
    }
    if (e.path.empty()) return text;
    return (e.path == "-" ? "standard input" : e.path) + ": " + text;
}

std::vector<std::string> Parsed::all(int code) const {
    std::vector<std::string> out;
    for (const auto& [c, value] : options)
        if (c == code) out.push_back(value);
    return out;
}

std::string Parsed::last(int code, std::string fallback) const {
    auto values = all(code);
    return values.empty() ? fallback : values.back();
}

namespace {

std::string option_name(const Command& command, int code) {
    for (const option& o : command.long_options)
        if (o.name && o.val == code) return "--" + std::string(o.name);
    return std::string("-") + char(code);
}

// "-s/--strategy", or "--ip" for an option without a short form.
std::string both_names(const Command& command, int code) {
    const std::string name = option_name(command, code);
    return code < 256 && name.rfind("--", 0) == 0 ? std::string("-") + char(code) + "/" + name : name;
}

}  // namespace

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

std::string one_of(const Parsed& p, int code, const std::string& given, std::initializer_list<const char*> valid) {
    const std::string name = lowered(given);
    std::string listed;
    for (const char* v : valid) {
        if (name == v) return name;
        listed += (listed.empty() ? "" : ", ") + std::string(v);
    }
    usage("invalid " + both_names(*p.command, code) + " value '" + given + "': valid are " + listed);
}

IdleTimeouts idle_timeouts(const Parsed& p) {
    IdleTimeouts idle;
    for (const std::string& given : p.all(kIdleTimeout)) {
        const size_t eq = given.find('=');
        std::string protocol = given.substr(0, eq);
        for (char& c : protocol) c = char(std::tolower(static_cast<unsigned char>(c)));
        const std::string seconds = eq == std::string::npos ? "" : given.substr(eq + 1);
        char* end = nullptr;
        const double value = seconds.empty() ? -1 : std::strtod(seconds.c_str(), &end);
        if (eq == std::string::npos || (end && *end)) usage("invalid --idle-timeout '" + given + "': give PROTO=SECONDS");
        if (auto st = idle.set(protocol, value); !st) usage("invalid --idle-timeout '" + given + "': " + st.error().message);
    }
    return idle;
}

ChoiceText tunnels(const Parsed& p) { return choice(one_of(p, kTunnels, p.last(kTunnels, "outer"), {"outer", "inner"})); }

ChoiceText strategy(const Parsed& p) {
    const std::string given = p.last('s', "session");
    one_of(p, 's', given, {"session", "flow", "host", "hostpair", "mac", "bssid", "nosplit", "connection"});
    return choice(given);
}

// An address filter that is no address would silently filter nothing.
std::vector<std::string> ip_filters(const Parsed& p, int code) {
    std::vector<std::string> ips = p.all(code);
    for (const std::string& ip : ips)
        if (!parse_ip_address(ip))
            usage("invalid " + option_name(*p.command, code) + " value '" + ip + "': not an IPv4 or IPv6 address");
    return ips;
}

std::vector<uint16_t> port_filters(const Parsed& p, int code) {
    std::vector<uint16_t> ports;
    const std::string what = option_name(*p.command, code) + " value";
    for (const std::string& text : p.all(code)) ports.push_back(uint16_t(number(text, 65535, what.c_str())));
    return ports;
}

BetweenFilter::BetweenFilter(const Parsed& p, FrameFilter* next)
    : ports_(port_filters(p, kBetweenPort)), next_(next) {
    for (const std::string& text : ip_filters(p, kBetween)) ips_.push_back(*parse_ip_address(text));
}

Status<CallError> BetweenFilter::prepare(uint32_t link_type) {
    return next_ ? next_->prepare(link_type) : Status<CallError>{};
}

bool BetweenFilter::accepts(const ParsedPacket& packet) {
    if (!packet.ip) return false;
    const IpTuple& ip = *packet.ip;
    for (const IpAddress& a : ips_)
        if (a != ip.src_ip && a != ip.dst_ip) return false;
    for (uint16_t port : ports_)
        if (port != ip.src_port && port != ip.dst_port) return false;
    return !next_ || next_->accepts(packet);
}

bool show_progress(const Parsed& p) { return !p.has('q') && ::isatty(2); }

namespace {

// Whether the file begins as a capture does.
bool starts_as_capture(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    uint8_t start[4];
    return fd.valid() && ::read(fd.get(), start, sizeof start) == ssize_t(sizeof start) &&
           is_capture_magic(ByteView(start, sizeof start));
}

// Standard input counts when it is a file; a pipe has no size to tell.
bool is_empty_file(const std::string& path) {
    struct stat st;
    const int status = path == "-" ? ::fstat(0, &st) : ::stat(path.c_str(), &st);
    return status == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

}  // namespace

Result<std::shared_ptr<const archive::ArchiveReader>, CallError> open_named_archive(const std::string& path) {
    auto reader = archive::open_archive(path);
    if (reader) return std::move(reader).value();
    // A capture where an archive belongs: say how to make one of it.
    if (starts_as_capture(path)) {
        const size_t slash = path.find_last_of('/') + 1, dot = path.find_last_of('.');
        const std::string archive = (dot != std::string::npos && dot > slash ? path.substr(0, dot) : path) + ".fsieve";
        return CallError::value("a capture, not an archive; archive it first: flowsieve archive " + path + " " +
                                archive).about(path);
    }
    return CallError::io(std::move(reader).error(), path);
}

void check_report(const Parsed& p) {
    if (p.has(kReport)) one_of(p, kReport, p.last(kReport), {"json"});
}

void check_output(const std::string& output, const std::vector<std::string>& inputs, const std::string& shown) {
    if (output == "-" && ::isatty(STDOUT_FILENO))
        usage(shown + ": standard output is a terminal; send it to a file or a pipe");
    if (auto refused = output_among_inputs(output, inputs)) usage(*refused);
}

std::unique_ptr<PcapFilter> pcap_filter(const Parsed& p) {
    if (!p.has(kFilter)) return nullptr;
    return std::make_unique<PcapFilter>(p.last(kFilter));
}

void note_pcapng(const std::vector<uint32_t>& link_types, const std::string& remedy) {
    std::string types;
    for (size_t i = 0; i < link_types.size(); ++i)
        types += (i == 0 ? "" : i + 1 == link_types.size() ? " and " : ", ") + std::to_string(link_types[i]);
    message("note: frames of link types " + types +
            " are written as pcapng, an interface per link type, which tshark reads but libpcap up to 1.10 "
            "(tcpdump) does not" + (remedy.empty() ? "" : "; " + remedy));
}

namespace {

uint64_t tunnel_packets(const ReadingNotes& notes) {
    uint64_t total = 0;
    for (uint64_t n : notes.tunnel_packets) total += n;
    return total;
}

// Packets mostly inside tunnels that outer mode leaves shut: one line to say
// how many, in which, and what opens them; empty otherwise.
std::string tunnel_hint(const ReadingNotes& notes) {
    const uint64_t total = tunnel_packets(notes);
    if (total * 2 <= notes.packets) return {};
    std::string kinds;
    for (size_t k = 0; k < std::size(notes.tunnel_packets); ++k)
        if (notes.tunnel_packets[k])
            kinds += (kinds.empty() ? "" : ", ") + std::to_string(notes.tunnel_packets[k]) + " " +
                     tunnel_name(TunnelKind(k));
    return std::to_string(total) + " of " + std::to_string(notes.packets) + " packets are inside tunnels (" + kinds +
           "): --tunnels inner splits by the flows they carry";
}

std::vector<std::string> warnings_about(const ReadingNotes& notes) {
    std::vector<std::string> warnings;
    if (notes.cut_off_at)
        warnings.push_back("the capture is cut off: its last record, at offset " + std::to_string(*notes.cut_off_at) +
                           ", is incomplete; the " + std::to_string(notes.packets) + " packets before it were read");
    if (notes.undecoded) {
        char share[16];
        std::snprintf(share, sizeof share, "%.1f%%", 100.0 * double(notes.undecoded) / double(notes.packets));
        warnings.push_back(std::to_string(notes.undecoded) + " of " + std::to_string(notes.packets) + " packets (" +
                           share + ") have no IP layer: link type " + std::to_string(notes.undecoded_link_type) +
                           " is not one flowsieve decodes, so its frames were read as raw IP");
    }
    return warnings;
}

// One JSON object on standard output, for scripts.
void print_report(const Progress& last, uint64_t files, const ReadingNotes& notes, bool dedup,
                  const std::vector<std::string>& warnings, const StreamGaps* gaps,
                  const std::vector<StreamHole>* holes) {
    std::string text = "{";
    auto count = [&](const char* key, uint64_t value) {
        text += std::string("\"") + key + "\": " + std::to_string(value) + ", ";
    };
    count("packets_read", notes.packets);
    count("packets_kept", last.packets_kept);
    count("flows", last.flows);
    count("files", files);
    count("bytes_read", last.bytes_read);
    count("fragments_matched", last.fragments_matched);
    count("fragments_unmatched", last.fragments_unmatched);
    count("tunnel_packets", tunnel_packets(notes));
    if (dedup) count("duplicates_dropped", notes.duplicates);
    if (gaps) {  // a split into streams
        count("connections_with_gaps", gaps->connections);
        count("bytes_missing", gaps->bytes);
        count("bytes_after_fin", gaps->after_fin);
        count("bytes_in_no_stream", gaps->in_no_stream);
    }
    if (holes) {  // each file's, so that a reader knows where its bytes stop following on
        text += "\"gaps\": [";
        for (size_t i = 0; i < holes->size(); ++i) {
            const StreamHole& h = (*holes)[i];
            text += std::string(i ? ", " : "") + "{\"file\": \"" + json_escaped(h.file) +
                    "\", \"offset\": " + std::to_string(h.offset) + ", \"bytes_missing\": " +
                    std::to_string(h.missing) + "}";
        }
        text += "], ";
    }
    // Keyed by the link type that flowsieve does not decode.
    text += "\"undecoded\": {";
    if (notes.undecoded)
        text += "\"" + std::to_string(notes.undecoded_link_type) + "\": " + std::to_string(notes.undecoded);
    text += "}, \"warnings\": [";
    for (size_t i = 0; i < warnings.size(); ++i) text += (i ? ", \"" : "\"") + json_escaped(warnings[i]) + "\"";
    text += "]}\n";
    std::fputs(text.c_str(), stdout);
}

}  // namespace

bool fill_stream_gaps(const Parsed& p) {
    return one_of(p, kStreamGaps, p.last(kStreamGaps, "skip"), {"skip", "zero"}) == "zero";
}

void report_gaps(const StreamGaps& gaps, bool filled) {
    if (gaps.connections)
        message("TCP streams: " + std::to_string(gaps.connections) +
                (gaps.connections == 1 ? " connection" : " connections") + " with gaps, " +
                std::to_string(gaps.bytes) + " bytes never captured " + (filled ? "written as zeros" : "left out"));
    if (gaps.after_fin)
        message("TCP streams: " + std::to_string(gaps.after_fin) + " bytes sent after their sender's FIN left out");
    if (gaps.in_no_stream)
        message("TCP streams: " + std::to_string(gaps.in_no_stream) +
                " bytes outside every connection's stream left out");
}

int conclude(const Parsed& p, const Status<CallError>& status, ProgressDisplay& display, uint64_t files,
             uint64_t removed, const ReadingNotes& notes, const PcapFilter* filter, const StreamGaps* gaps,
             const std::vector<StreamHole>* holes) {
    if (status) {
        std::vector<std::string> warnings = warnings_about(notes);
        if (filter) filter->add_warnings(warnings);
        if (!warnings.empty()) display.clear();
        for (const std::string& w : warnings) message("warning: " + w);
        const Progress& last = display.last();
        if ((last.fragments_matched || last.fragments_unmatched) && !p.has('q')) {
            display.clear();
            message("IP fragments: " + std::to_string(last.fragments_matched) + " matched to their datagram, " +
                    std::to_string(last.fragments_unmatched) + " without their first fragment sent to ports 0");
        }
        if (notes.duplicates && !p.has('q')) {
            display.clear();
            message("duplicates: " + std::to_string(notes.duplicates) +
                    (notes.duplicates == 1 ? " packet" : " packets") + " captured twice dropped");
        }
        if (gaps && !gaps->none()) {
            display.clear();
            report_gaps(*gaps, fill_stream_gaps(p));
        }
        if (const std::string hint = tunnel_hint(notes);
            !hint.empty() && !p.has('q') && lowered(p.last(kTunnels, "outer")) == "outer") {
            display.clear();
            message(hint);
        }
        display.summary(files);
        if (p.has(kReport)) print_report(last, files, notes, p.has(kDedup), warnings, gaps, holes);
        return 0;
    }
    display.clear();
    if (filter && filter->rejected()) usage(status.error().message);
    CallError error = status.error();
    if (error.message == CaptureError::unknown().text() && is_empty_file(error.path))
        error.message = "the capture is empty (0 bytes)";
    message(describe(error));
    if (removed)
        message("removed " + std::to_string(removed) + " temporary " + (removed == 1 ? "file" : "files") +
                " of this run");
    if (status.error().kind == CallError::Kind::Interrupted)
        return 128 + (interrupt_signal() ? interrupt_signal() : SIGINT);
    return kFailure;
}

}  // namespace flowsieve::cli
