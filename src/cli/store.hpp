// Several archives as one store: the archives and folders named on the
// command line, and the query options that flows and export share.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/query.hpp"
#include "cli/command.hpp"

namespace flowsieve::cli {

// The flows chosen from one archive.
struct Chosen {
    std::string path;
    std::string name;  // the file name, which names the archive in listings
    std::shared_ptr<const archive::ArchiveReader> reader;
    archive::FlowList flows;
};

struct Store {
    std::vector<Chosen> archives;  // those with chosen flows, in order
    std::optional<FrameFileFormat> first_format;  // of the first archive opened
};

bool is_folder(const std::string& path);
// The *.fsieve files of a folder, by name; an IOError when it cannot be read.
std::vector<std::string> folder_archives(const std::string& folder);
std::string base_name(const std::string& path);

// More than one archive, or a folder: listings name each flow's archive.
bool names_several(const std::vector<std::string>& paths);

// Opens each archive named, and every *.fsieve of each folder named in name
// order, one after another, and keeps those from which `choose` takes
// flows. The others are released at once, so that memory holds the
// archives that answer rather than all of them. An archive named itself
// must open, and a CallError of `choose` fails the call; an archive in a
// folder that does not open, or whose flows `choose` throws a CallError
// for, is named in a warning and skipped. The call fails when every archive
// was skipped.
Store choose_flows(const std::vector<std::string>& paths,
                   const std::function<archive::FlowList(const archive::ArchiveReader&, const std::string& path)>& choose);

// The query options: --ip, --port, --proto (each repeatable, any of the
// values), --between and --between-port (each repeatable, all of the
// values), --since, --until, --flow and --community-id.
archive::FlowQuery parse_query(const Parsed& p);

// Microseconds since the epoch of seconds since the epoch (with a fraction
// of up to six digits) or an ISO 8601 date, optionally with a time
// (HH:MM[:SS[.fraction]], after T or a space) and an offset (Z, +HH,
// +HH:MM, +HHMM, or -); UTC without one. Nothing for any other text.
std::optional<uint64_t> parse_time(std::string_view text);

// The long options of the query, for the commands' option tables.
std::vector<option> query_options();

}  // namespace flowsieve::cli
