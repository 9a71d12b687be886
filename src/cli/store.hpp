// Several archives as one store, as the commands flows and export take it:
// the archives and folders named on the command line, and the query options
// that both share.
#pragma once

#include <string>
#include <vector>

#include "archive/store.hpp"
#include "cli/command.hpp"

namespace flowsieve::cli {

// More than one archive, or a folder: listings name each flow's archive.
bool names_several(const std::vector<std::string>& paths);

// The warning that an archive of a folder was skipped, and why.
void warn_skipped(const std::string& path, const std::string& why);

// The store's answers to `choose`, which asks `query` (archive::ask_archives);
// an archive of a folder that cannot be read is named in a warning.
// Failures are thrown.
archive::Answers choose_flows(const std::vector<std::string>& paths, const archive::FlowQuery& query,
                              const archive::Choose& choose);

// The query options: --ip, --port, --proto (each repeatable, any of the
// values), --between and --between-port (each repeatable, all of the
// values), --since, --until, --flow and --community-id.
archive::FlowQuery parse_query(const Parsed& p);

// The long options of the query, for the commands' option tables.
std::vector<option> query_options();

}  // namespace flowsieve::cli
