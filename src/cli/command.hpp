// What the subcommands share: their description, the parsing of their
// options and arguments, usage errors and messages.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/reader.hpp"
#include "cli/pcap_filter.hpp"
#include "cli/progress.hpp"
#include "flow/connection.hpp"
#include "flow/reassembly.hpp"
#include "flow/source.hpp"
#include "split/writer.hpp"
#include "util/call.hpp"
#include "util/result.hpp"

namespace flowsieve::cli {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

// Codes of the options that have no short form.
enum LongOnly {
    kIp = 256, kPort, kMaxOpen, kBuffer, kProto, kSince, kUntil, kFlow, kCommunityId, kMerge, kFilter, kStem, kBetween,
    kBetweenPort, kReport, kPackets, kPacketBytes, kPayloadBytes, kNoAnonymize, kStream,
    kLinkType, kTunnels, kVni, kRotate, kRotateSize, kKeep, kKeepSize, kSnaplen, kColumns, kDedup, kStreamGaps,
    kName, kApp, kState, kIdleTimeout
};

struct UsageError {
    std::string message;
};

[[noreturn]] void usage(std::string message);

// Writes "flowsieve: TEXT" to standard error.
void message(const std::string& text);

// Writes the message and returns the failure status.
int fail(const std::string& text);

// Writes the failure of an operation on `path` and returns the failure
// status.
int fail(const Error& error, const std::string& path);

// A failure as the command shows it: the file it is about first, then the
// library's text, with an operating-system failure's plain description.
std::string describe(const CallError& error);

std::string lowered(std::string text);

ChoiceText choice(const std::string& given);

// Decimal digits only, at most `max`.
uint64_t number(const std::string& text, uint64_t max, const char* what);

uint16_t port(const std::string& text);

struct Parsed;

struct Command {
    const char* name;
    const char* help;
    const char* short_options;  // after the leading ':'
    std::vector<option> long_options;
    int (*run)(const Parsed&);
    bool interruptible;  // installs the interrupt handlers before it runs
};

struct Parsed {
    const Command* command;
    std::vector<std::pair<int, std::string>> options;  // in command-line order
    std::vector<std::string> args;

    std::vector<std::string> all(int code) const;
    bool has(int code) const { return !all(code).empty(); }
    // The last value given, or the default.
    std::string last(int code, std::string fallback = "") const;
};

// Options may come before, between or after the arguments; "--" ends them.
// Returns false when --help was given (the help is printed).
bool parse(const Command& command, int argc, char** argv, Parsed& out);

void expect_args(const Parsed& p, size_t min, size_t max, const char* names);

// The value given for option `code`, lower-cased, when it is one of
// `valid`; a usage error otherwise.
std::string one_of(const Parsed& p, int code, const std::string& given, std::initializer_list<const char*> valid);

// The -s/--strategy value, checked.
ChoiceText strategy(const Parsed& p);

// The --tunnels value, checked: outer (the default) or inner.
ChoiceText tunnels(const Parsed& p);

// The --idle-timeout PROTO=SECONDS values over the defaults, checked.
IdleTimeouts idle_timeouts(const Parsed& p);

// The --ip values, each checked to be an address; `code` kBetween for
// the --between values.
std::vector<std::string> ip_filters(const Parsed& p, int code = kIp);

// The --port values, or those of --between-port.
std::vector<uint16_t> port_filters(const Parsed& p, int code = kPort);

// What split and archive ask of each packet beyond --ip and --port: every
// --between address and --between-port port is its source or destination,
// and the --filter expression, if any, takes it.
class BetweenFilter final : public FrameFilter {
public:
    BetweenFilter(const Parsed& p, FrameFilter* next);
    // The filter for the operation: this, the next one alone, or none.
    FrameFilter* first() { return ips_.empty() && ports_.empty() ? next_ : this; }
    Status<CallError> prepare(uint32_t link_type) override;
    bool accepts(const ParsedPacket& packet) override;

private:
    std::vector<IpAddress> ips_;
    std::vector<uint16_t> ports_;
    FrameFilter* next_;
};

bool show_progress(const Parsed& p);

// The archive at `path`, named on the command line; its failure as an
// error of the call.
Result<std::shared_ptr<const archive::ArchiveReader>, CallError> open_named_archive(const std::string& path);

// The --filter expression, compiled by libpcap as the capture needs it; none
// without --filter.
std::unique_ptr<PcapFilter> pcap_filter(const Parsed& p);

// Refuses, as usage errors, an output that is one of the inputs, and
// standard output ("-") that is a terminal; `shown` names the output's
// argument ("-o -").
void check_output(const std::string& output, const std::vector<std::string>& inputs, const std::string& shown);

// Checks the --report value (json) of split and archive before they run.
void check_report(const Parsed& p);

// Says what the streams left out, if anything: the connections that lost
// bytes (filled with zeros or not), bytes sent after a FIN, bytes in no
// connection's stream.
void report_gaps(const StreamGaps& gaps, bool filled);

// Writes one line saying that outputs holding frames of these link types
// are pcapng, which tools on libpcap up to 1.10 cannot read; `remedy`, when
// not empty, is added after a semicolon.
void note_pcapng(const std::vector<uint32_t>& link_types, const std::string& remedy = "");

// The end of split and archive: the warnings, the fragments line (not with
// -q), the streams that lost bytes, a summary and the --report, or the
// failure and how many temporary files of the run were removed. An
// expression that libpcap rejected is a usage error.
int conclude(const Parsed& p, const Status<CallError>& status, ProgressDisplay& display, uint64_t files,
             uint64_t removed, const ReadingNotes& notes, const PcapFilter* filter,
             const StreamGaps* gaps = nullptr, const std::vector<StreamHole>* holes = nullptr);
// Whether --stream-gaps asks for zeros in place of bytes never captured
// (zero), rather than for the streams to go on past them (skip, the default).
bool fill_stream_gaps(const Parsed& p);

extern const Command kSplitCommand;
extern const Command kArchiveCommand;
extern const Command kFlowsCommand;
extern const Command kExportCommand;
extern const Command kArraysCommand;
extern const Command kCaptureCommand;

}  // namespace flowsieve::cli
