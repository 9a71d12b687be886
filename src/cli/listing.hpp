// Flow listings: an aligned table with a total line, CSV with a header row,
// or one JSON object per line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/mod.hpp"
#include "util/result.hpp"
#include "util/utf8.hpp"

namespace flowsieve::cli {

// Zeek: the tab-separated conn.log of Zeek, one connection a line.
enum class ListFormat { Table, Csv, Json, Zeek };

std::optional<ListFormat> parse_list_format(std::string_view lowered);

// JSON string contents: file names may hold any byte but NUL, and JSON is
// Unicode, so bytes that are not UTF-8 become U+FFFD.
std::string json_escaped(std::string_view text);

// The flows chosen from one archive.
struct ListedFlows {
    std::string archive;  // its file name
    const archive::ArchiveReader* reader;
    archive::FlowList flows;
};

// Listings name each flow's archive first when `name_archives`. Start
// times are seconds since the epoch, and nanoseconds in start_ns and end_ns
// (a UTC time in the table); durations are the end minus the start time in
// seconds, negative when the capture's clock went back. Addresses are in
// the form of RFC 5952. csv and json carry every field, whatever the
// table shows.

// csv and json go out archive by archive: the header row of csv, then the
// rows of each archive in turn.
void print_header(std::FILE* out, ListFormat format, bool name_archives);
void print_rows(std::FILE* out, const ListedFlows& listed, ListFormat format, bool name_archives);

// The table's columns: those that fit in 80 (with the archive's when
// `name_archives`), every one when `all`, or those `chosen` by name
// ("id,src,community_id"). Error: "invalid --columns value 'X': valid are ...".
Result<std::vector<size_t>> table_columns(bool all, const std::optional<std::string>& chosen, bool name_archives);

// The table needs every row first: its columns are as wide as their widest
// cell. The start is the UTC time to the second, with its date when the
// flows start on several days (the total line names the one day otherwise);
// the duration to the millisecond.
void print_table(std::FILE* out, const std::vector<ListedFlows>& listed, const std::vector<size_t>& columns);

}  // namespace flowsieve::cli
