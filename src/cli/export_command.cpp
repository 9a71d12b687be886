// flowsieve export: flows of archives as pcap files, one per flow or merged.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "archive/mod.hpp"
#include "cli/command.hpp"
#include "cli/export.hpp"
#include "cli/store.hpp"
#include "split/driver.hpp"
#include "split/writer.hpp"
#include "util/file_io.hpp"
#include "util/os_error.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve::cli {
namespace {

const char* const kExportHelp = R"(Usage: flowsieve export ARCHIVE|FOLDER... [ID...] [QUERY] -o DIR
       flowsieve export ARCHIVE ID -o FILE|-
       flowsieve export ARCHIVE|FOLDER... [QUERY] --merge -o FILE|-
       flowsieve export ARCHIVE|FOLDER... [ID...] [QUERY] --stream -o DIR

Writes flows of archives as pcap files: the flows with the given ids (of a
single ARCHIVE), the flows that meet the query, or every flow. A FOLDER
stands for every *.fsieve file in it, by name (a folder without any is an
error); an archive in a folder that cannot be read, or whose chosen flows'
packets cannot be found, is named in a warning and skipped.

Where -o points:
  one ID                the file to write (- for standard output), or an
                        existing folder to write the flow into by its name
  --merge               the one file (or -) that gets the packets of every
                        chosen flow of every archive in timestamp order
                        (packets with equal times in archive, flow and
                        packet order); pcapng when the archives' frames
                        are of several link types (a note says so: tools
                        on libpcap up to 1.10, tcpdump among them, read
                        no pcapng of several; --link-type picks one)
  otherwise             the folder, created if missing, to write each flow
                        into a file of its own
A character device or FIFO named by -o is written directly; a symlink or
socket is refused, and so is an archive the export reads. An export into a
folder that fails removes the files it wrote.

File names in a folder follow the split's: STEM_KEY.pcap, where STEM is the
archive's file name without its extension and KEY is built from the flow's
protocol, addresses and ports as the session strategy builds it
(PROTO_ADDR_ADDR_PORT_PORT, endpoints in session order, with "*./:<>?\| and
control characters replaced by _), for example
traffic_6_10_0_0_1_10_0_0_2_999_443.pcap; a flow without an IP layer gets
KEY no_ip_ID. Flows that would share a name each get _ID appended, and
_2, _3, ... after that where the name is still taken. Each file is written
under a hidden temporary name (.NAME.tmp) and renamed.

With --stream, the folder gets what 'flowsieve split -t stream' writes for
the flows: STEM_KEY.SENDER.stream per side of each TCP connection that sent
bytes, reassembled (STEM_KEY_2.SENDER.stream for a later connection on the
same addresses and ports), and STEM_KEY.stream with the payload of a flow
that is not TCP. Archives that share a STEM get STEM_2, STEM_3, ...

Query (a flow is exported when it meets every condition given): --ip ADDR,
--port N, --between ADDR, --between-port N, --proto PROTO, --since TIME,
--until TIME, --flow 'PROTO ADDR PORT ADDR PORT', --community-id ID,
--vni N, --name PATTERN, --app NAME, as for 'flowsieve flows' (see its
--help). Repeated, --ip, --port and --proto
take flows of any of the values given, --between and --between-port
those with all of them: --ip A --ip B exports the flows of A and those of
B, --between A --between B the flows between A and B.

Options:
  -o, --output PATH     the output file, folder or - (see above)
      --merge           all chosen flows into one pcap, by timestamp
      --stream          reassembled TCP streams into the folder (see above)
      --link-type N     only the frames of link type N, each file a pcap of
                        it; a flow without any writes no file in a folder
      --stream-gaps HOW with --stream, what bytes never captured become:
                        skip (default) or zero, as for split
  -h, --help            show this help
)";

// Streams a flow's pcap to a descriptor through one buffer.
Status<> write_flow(int fd, const archive::FlowPcap& pcap) {
    WriteBuffer buffer(std::min<size_t>(256 * 1024, pcap.size()));
    Status<> status;
    const bool written = pcap.stream([&](const uint8_t* data, size_t size) {
        return (status = buffer.write_copy(fd, data, size)).ok();
    });
    if (written) status = buffer.flush(fd);
    return status;
}

int interrupted_status(int signal) {
    message(CallError::interrupted().message);
    return 128 + signal;
}

// Writes one file at `path` by the destination rule (write_to_path: - is
// standard output); `folder_name` names the file when `path` is an existing
// folder, or nothing when it may not be.
int write_output(const std::string& path, const std::optional<std::string>& folder_name,
                 const std::function<Status<>(int fd)>& write) {
    if (path != "-" && folder_name && archive::is_folder(path)) {
        const std::string target = (path.back() == '/' ? path : path + "/") + *folder_name;
        const UniqueFd dir(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) return fail(os_error(errno), path);
        if (auto st = write_renamed(dir.get(), *folder_name, write); !st) return fail(st.error(), target);
        return 0;
    }
    if (auto st = write_to_path(path, write); !st) {
        // A FIFO's open waits for its reader, or for Ctrl-C.
        if (st.error().os_errno == EINTR && interrupt_signal()) return interrupted_status(interrupt_signal());
        return fail(st.error(), path == "-" ? "standard output" : path);
    }
    return 0;
}

// The file names of an archive's chosen flows (flow_file_names), worked out
// while its flow table is there: a name depends on every flow of the
// archive. `written`, when given, holds the names earlier archives of this
// run took: such a name gets a number, so that no flow's file replaces
// another's, and the names given are added to it.
std::vector<std::string> chosen_names(const archive::ArchiveReader& reader, const std::string& stem,
                                      const archive::FlowList& flows, std::unordered_set<std::string>* written,
                                      const char* extension) {
    const std::vector<std::string> names = flow_file_names(reader, stem, extension);
    const auto& records = reader.records();
    std::vector<std::string> chosen;
    chosen.reserve(flows.size());
    if (!written) {
        for (const archive::FlowRecord* r : flows) chosen.push_back(names[size_t(r - records.data())]);
        return chosen;
    }
    const std::unordered_set<std::string> own_names(names.begin(), names.end());
    for (const archive::FlowRecord* r : flows) {
        std::string name = names[size_t(r - records.data())];
        if (written->count(name)) {
            const std::string base = name.substr(0, name.size() - std::strlen(extension));
            uint64_t number = 2;
            do name = base + "_" + std::to_string(number++) + extension;
            while (written->count(name) || own_names.count(name));
        }
        written->insert(name);
        chosen.push_back(std::move(name));
    }
    return chosen;
}

// The chosen flows of each archive through the split's stream writers, so
// that the files are those a split of the capture would write. `names`:
// the flows' file names without a stem.
int export_streams(const archive::Answers& answers, const std::vector<std::vector<std::string>>& names,
                   const std::string& out, std::optional<uint32_t> only, bool fill_gaps) {
    std::unordered_map<std::string, uint64_t> stems;  // of this run, and how often each came
    StreamGaps gaps;
    for (size_t a = 0; a < answers.archives.size(); ++a) {
        const archive::Answer& s = answers.archives[a];
        std::string stem = file_stem(s.path);
        if (const uint64_t n = ++stems[stem]; n > 1) stem += "_" + std::to_string(n);
        WriterSetOptions options;
        options.output_dir = out;
        options.stem = stem;
        options.output_type = OutputType::Stream;
        options.fill_gaps = fill_gaps;
        auto writers = FlowWriterSet::create(options);
        if (!writers) return fail(writers.error(), out);
        const size_t extension = std::strlen(s.reader->frame_format().extension());
        FlowTable keys;
        for (size_t i = 0; i < s.records.size(); ++i) {
            if (interrupt_signal()) {
                (void)writers.value()->discard(keys);
                return interrupted_status(interrupt_signal());
            }
            // The name less the "_" before the key and the extension: the key, made safe.
            const std::string& name = names[a][i];
            const std::string key = name.substr(1, name.size() - 1 - extension);
            const uint32_t flow = keys.insert(key);
            auto cursor = archive::PacketCursor::of(*s.reader, s.records[i]);
            if (!cursor) throw CallError::runtime(cursor.error().message).about(s.path);
            while (auto p = cursor->next()) {
                if (only && p->link_type != *only) continue;
                if (auto st = writers.value()->write_packet(flow, key, archive::decode_packet(*p)); !st) {
                    (void)writers.value()->discard(keys);
                    return fail(st.error(), out);
                }
            }
        }
        if (auto st = writers.value()->finish(keys); !st) {
            (void)writers.value()->discard(keys);
            return fail(st.error(), out);
        }
        gaps += writers.value()->gaps();
    }
    report_gaps(gaps, fill_gaps);
    return 0;
}

int run_export(const Parsed& p) {
    expect_args(p, 1, SIZE_MAX, "ARCHIVE");
    if (!p.has('o')) usage("export needs -o DIR (or -o FILE, or -o - for standard output)");
    const std::string out = p.last('o');
    const bool merge = p.has(kMerge);
    const bool stream = p.has(kStream);
    if (merge && stream) usage("give --merge or --stream, not both");
    const bool fill_gaps = fill_stream_gaps(p);
    if (p.has(kStreamGaps) && !stream) usage("--stream-gaps applies to --stream");
    // Arguments of digits alone are flow ids; the others name archives or folders.
    std::vector<std::string> paths{p.args[0]};
    std::vector<uint64_t> ids;
    for (size_t i = 1; i < p.args.size(); ++i) {
        if (p.args[i].find_first_not_of("0123456789") == std::string::npos)
            ids.push_back(number(p.args[i], UINT64_MAX, "flow id"));
        else
            paths.push_back(p.args[i]);
    }
    const archive::FlowQuery query = parse_query(p);
    std::optional<uint32_t> only;
    if (p.has(kLinkType)) only = uint32_t(number(p.last(kLinkType), UINT32_MAX, "--link-type value"));
    const std::string remedy = "--link-type N writes those of one as pcap";
    if (!ids.empty() && !query.empty()) usage("give flow ids or a query, not both");
    const bool one_file = merge || (ids.size() == 1 && !stream);
    if (out == "-" && !one_file)
        usage(stream ? "--stream writes a folder: give -o DIR"
                     : "-o - writes one flow or a --merge: give one flow id, or --merge");
    if (out == "-" && ::isatty(1))
        usage("-o -: standard output is a terminal; send it to a file or a pipe (| tcpdump -r -)");
    if (one_file)
        if (auto members = archive::store_archives(paths)) {
            std::vector<std::string> inputs;
            for (const archive::StoreArchive& member : members.value()) inputs.push_back(member.path);
            check_output(out, inputs, "-o -");
        }

    if (!ids.empty() && names_several(paths))
        usage("flow ids name the flows of one archive: give a single ARCHIVE");
    auto chosen = [&](const archive::ArchiveReader& reader, const std::string& path) -> Result<archive::FlowList, CallError> {
        if (ids.empty()) return archive::select_flows(reader, query);
        archive::FlowList flows;
        std::set<const archive::FlowRecord*> seen;
        for (uint64_t id : ids) {
            const archive::FlowRecord* r = archive::get_flow(reader, id);
            if (!r) return CallError::value("no flow with id " + std::to_string(id)).about(path);
            if (seen.insert(r).second) flows.push_back(r);
        }
        return flows;
    };
    // Every chosen flow's packets are found before anything is written, so
    // that an archive of a folder whose offset list runs past its end is
    // skipped whole, and the rest exported. names[i]: the file names of the
    // flows of answers.archives[i].
    std::vector<std::vector<std::string>> names;
    std::unordered_set<std::string> written;
    const archive::Answers answers = choose_flows(paths, query, [&](const archive::ArchiveReader& reader,
                                                             const std::string& path) -> Result<archive::FlowList, CallError> {
        auto flows = chosen(reader, path);
        if (!flows) return flows;
        if (auto found = archive::find_packets(reader, *flows, path); !found) return std::move(found).error();
        if (!merge && !flows->empty())
            names.push_back(stream ? chosen_names(reader, "", *flows, nullptr, reader.frame_format().extension())
                                   : chosen_names(reader, file_stem(path), *flows, &written,
                                                  only ? ".pcap" : reader.frame_format().extension()));
        return flows;
    });
    install_interrupt_handlers();

    if (merge) {
        auto merged = archive::merge_answers(answers, only);
        if (!merged) throw std::move(merged).error();
        if (merged->format().pcapng()) note_pcapng(merged->format().link_types, remedy);
        ProgressDisplay interrupts(false, false);  // stops the merge once a signal arrived
        bool interrupted = false;
        const int status = write_output(out, std::nullopt, [&](int fd) -> Status<> {
            auto st = archive::write_merge(fd, *merged, &interrupts);
            if (st) return {};
            interrupted = st.error().kind == CallError::Kind::Interrupted;
            return Error{st.error().message, st.error().os_errno};
        });
        return interrupted ? 128 + interrupt_signal() : status;
    }

    auto pcap_of = [&](const archive::Answer& a, const archive::FlowRecord& r, archive::ExportBudget& budget) {
        auto pcap = archive::FlowPcap::of(*a.reader, r, budget, only);
        if (!pcap) throw CallError::runtime(pcap.error().message).about(a.path);
        return std::move(pcap).value();
    };
    if (one_file) {
        const archive::Answer& a = answers.archives[0];
        archive::ExportBudget budget(*a.reader);
        const archive::FlowPcap pcap = pcap_of(a, a.records[0], budget);
        if (pcap.format().pcapng()) note_pcapng(pcap.format().link_types, remedy);
        return write_output(out, names[0][0], [&](int fd) { return write_flow(fd, pcap); });
    }

    if (auto st = create_directories(out); !st) return fail(st.error(), out);
    if (stream) return export_streams(answers, names, out, only, fill_gaps);
    const UniqueFd dir(::open(out.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return fail(os_error(errno), out);
    // A run that fails leaves none of its files, as a split leaves none:
    // those written so far are removed while their names still are theirs.
    std::vector<std::pair<const std::string*, FileId>> placed;
    auto remove_placed = [&] {
        uint64_t removed = 0;
        for (const auto& [name, id] : placed) removed += unlink_if_same(dir.get(), name->c_str(), id);
        if (removed) message("removed " + std::to_string(removed) + (removed == 1 ? " file" : " files") + " of this run");
    };
    std::vector<uint32_t> pcapng_link_types;  // of the archives whose files are pcapng
    auto write_all_flows = [&] {
        for (size_t i = 0; i < answers.archives.size(); ++i) {
            const archive::Answer& a = answers.archives[i];
            if (!only && a.reader->frame_format().pcapng())
                for (uint32_t t : a.reader->frame_format().link_types)
                    if (std::find(pcapng_link_types.begin(), pcapng_link_types.end(), t) == pcapng_link_types.end())
                        pcapng_link_types.push_back(t);
            // Files hold what pipe_archive returns: all of them together at
            // most the archive's size.
            archive::ExportBudget budget(*a.reader);
            for (size_t f = 0; f < a.records.size(); ++f) {
                if (interrupt_signal()) return interrupted_status(interrupt_signal());
                const std::string& name = names[i][f];
                const archive::FlowPcap pcap = pcap_of(a, a.records[f], budget);
                if (only && pcap.packets() == 0) continue;
                std::optional<FileId> id;
                if (auto st = write_renamed(dir.get(), name, [&](int fd) { return write_flow(fd, pcap); }, &id); !st)
                    return fail(st.error(), out + "/" + name);
                if (id) placed.emplace_back(&name, *id);
            }
        }
        return 0;
    };
    int status;
    try {
        status = write_all_flows();
    } catch (const CallError& e) {
        status = fail(describe(e));
    }
    if (status != 0) {
        remove_placed();
        return status;
    }
    if (!pcapng_link_types.empty()) note_pcapng(pcapng_link_types, remedy);
    return 0;
}

}  // namespace

std::vector<option> export_options() {
    std::vector<option> options = query_options();
    options.push_back({"output", required_argument, nullptr, 'o'});
    options.push_back({"merge", no_argument, nullptr, kMerge});
    options.push_back({"stream", no_argument, nullptr, kStream});
    options.push_back({"link-type", required_argument, nullptr, kLinkType});
    options.push_back({"stream-gaps", required_argument, nullptr, kStreamGaps});
    return options;
}

const Command kExportCommand = {"export", kExportHelp, "o:", export_options(), run_export, false};

}  // namespace flowsieve::cli
