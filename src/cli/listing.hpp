// Flow listings: an aligned table with a total line, CSV with a header row,
// or one JSON object per line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/mod.hpp"
#include "util/utf8.hpp"

namespace flowsieve::cli {

enum class ListFormat { Table, Csv, Json };

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
// times are seconds since the epoch (a UTC date and time in the table);
// durations are the end minus the start time in seconds, negative when the
// capture's clock went back.

// csv and json go out archive by archive: the header row of csv, then the
// rows of each archive in turn.
void print_header(std::FILE* out, ListFormat format, bool name_archives);
void print_rows(std::FILE* out, const ListedFlows& listed, ListFormat format, bool name_archives);

// The table needs every row first: its columns are as wide as their widest cell.
void print_table(std::FILE* out, const std::vector<ListedFlows>& listed, bool name_archives);

}  // namespace flowsieve::cli
