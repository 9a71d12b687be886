// Flow listings: an aligned table with a total line, CSV with a header row,
// or one JSON object per line.
#pragma once

#include <cstdio>
#include <optional>
#include <string_view>

#include "archive/mod.hpp"

namespace flowsieve::cli {

enum class ListFormat { Table, Csv, Json };

std::optional<ListFormat> parse_list_format(std::string_view lowered);

// Writes the flows in their order. Start times are seconds since the epoch
// (a UTC date and time in the table); durations are the end minus the start
// time in seconds, negative when the capture's clock went back.
void print_flows(std::FILE* out, const archive::FlowList& flows, ListFormat format);

}  // namespace flowsieve::cli
