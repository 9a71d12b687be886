// flowsieve export: flows of an archive as pcap files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "archive/mod.hpp"
#include "cli/command.hpp"
#include "cli/export.hpp"
#include "split/driver.hpp"
#include "split/writer.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve::cli {
namespace {

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

}  // namespace

const Command kExportCommand = {"export", kExportHelp, "o:", {{"output", required_argument, nullptr, 'o'}},
                                run_export, false};

}  // namespace flowsieve::cli
