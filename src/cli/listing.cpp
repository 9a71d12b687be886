#include "cli/listing.hpp"

#include <array>
#include <cstring>
#include <ctime>
#include <string>

namespace flowsieve::cli {
namespace {

enum Column { kId, kProto, kProtoName, kSrc, kSrcPort, kDst, kDstPort, kPackets, kBytes, kStart, kDuration, kColumns };
using Row = std::array<std::string, kColumns>;

// Names in CSV and JSON; the Flow attribute names where there is one.
constexpr const char* kKeys[kColumns] = {"id",        "proto",       "proto_name",   "src_addr",
                                         "src_port",  "dst_addr",    "dst_port",     "packet_count",
                                         "total_bytes", "start_ts",  "duration"};
constexpr bool kNumeric[kColumns] = {true, true, false, false, true, false, true, true, true, true, true};

std::string micros_text(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu", (unsigned long long)(us / 1000000),
                  (unsigned long long)(us % 1000000));
    return text;
}

std::string utc_text(uint64_t us) {
    const time_t seconds = time_t(us / 1000000);
    struct tm tm;
    char text[64];
    if (us / 1000000 > uint64_t(INT64_MAX) || !::gmtime_r(&seconds, &tm)) return micros_text(us);
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    if (n == 0) return micros_text(us);
    std::snprintf(text + n, sizeof text - n, ".%06u", unsigned(us % 1000000));
    return text;
}

Row row_of(const archive::FlowRecord& r) {
    Row row;
    row[kId] = std::to_string(r.id);
    row[kProto] = std::to_string(r.proto);
    row[kProtoName] = archive::protocol_name(r.proto);
    row[kSrc] = archive::address_text(r.src_addr);
    row[kSrcPort] = std::to_string(r.src_port);
    row[kDst] = archive::address_text(r.dst_addr);
    row[kDstPort] = std::to_string(r.dst_port);
    row[kPackets] = std::to_string(r.packet_count);
    row[kBytes] = std::to_string(r.total_bytes);
    row[kStart] = micros_text(r.start_ts);
    row[kDuration] = r.end_ts >= r.start_ts ? micros_text(r.end_ts - r.start_ts)
                                            : "-" + micros_text(r.start_ts - r.end_ts);
    return row;
}

void print_table(std::FILE* out, const archive::FlowList& flows) {
    struct Shown {
        const char* title;
        Column column;
        bool right;
    };
    static constexpr Shown kShown[] = {
        {"ID", kId, true},          {"PROTO", kProto, false},        {"SOURCE", kSrc, false},
        {"SPORT", kSrcPort, true},  {"DESTINATION", kDst, false},    {"DPORT", kDstPort, true},
        {"PACKETS", kPackets, true}, {"BYTES", kBytes, true},        {"START (UTC)", kStart, false},
        {"DURATION", kDuration, true},
    };
    // The protocol by name, or by number when it has none; the start as a date.
    auto shown_row = [](const archive::FlowRecord& r) {
        Row row = row_of(r);
        if (row[kProtoName] != "?") row[kProto] = row[kProtoName];
        row[kStart] = utc_text(r.start_ts);
        return row;
    };
    // Two passes, so that a large archive is never held as text.
    size_t width[std::size(kShown)];
    for (size_t c = 0; c < std::size(kShown); ++c) width[c] = std::strlen(kShown[c].title);
    uint64_t packets = 0, bytes = 0;
    for (const archive::FlowRecord* r : flows) {
        const Row row = shown_row(*r);
        for (size_t c = 0; c < std::size(kShown); ++c) width[c] = std::max(width[c], row[kShown[c].column].size());
        packets += r->packet_count;
        bytes += r->total_bytes;
    }
    auto line = [&](auto cell) {
        std::string text;
        for (size_t c = 0; c < std::size(kShown); ++c) {
            const std::string value = cell(c);
            const std::string pad(width[c] - value.size(), ' ');
            if (c) text += "  ";
            text += kShown[c].right ? pad + value : c + 1 < std::size(kShown) ? value + pad : value;
        }
        text += '\n';
        std::fputs(text.c_str(), out);
    };
    line([&](size_t c) { return std::string(kShown[c].title); });
    for (const archive::FlowRecord* r : flows) {
        const Row row = shown_row(*r);
        line([&](size_t c) { return row[kShown[c].column]; });
    }
    std::fprintf(out, "%zu %s, %llu packets, %llu bytes\n", flows.size(), flows.size() == 1 ? "flow" : "flows",
                 (unsigned long long)packets, (unsigned long long)bytes);
}

}  // namespace

std::optional<ListFormat> parse_list_format(std::string_view lowered) {
    if (lowered == "table") return ListFormat::Table;
    if (lowered == "csv") return ListFormat::Csv;
    if (lowered == "json") return ListFormat::Json;
    return std::nullopt;
}

void print_flows(std::FILE* out, const archive::FlowList& flows, ListFormat format) {
    if (format == ListFormat::Table) return print_table(out, flows);
    // No field needs quoting or escaping: numbers, protocol names and
    // address texts.
    if (format == ListFormat::Csv) {
        for (size_t c = 0; c < kColumns; ++c) std::fprintf(out, c ? ",%s" : "%s", kKeys[c]);
        std::fputc('\n', out);
    }
    for (const archive::FlowRecord* r : flows) {
        const Row row = row_of(*r);
        std::string text = format == ListFormat::Json ? "{" : "";
        for (size_t c = 0; c < kColumns; ++c) {
            if (c) text += format == ListFormat::Json ? ", " : ",";
            if (format == ListFormat::Csv) {
                text += row[c];
            } else {
                text += std::string("\"") + kKeys[c] + "\": ";
                text += kNumeric[c] ? row[c] : "\"" + row[c] + "\"";
            }
        }
        text += format == ListFormat::Json ? "}\n" : "\n";
        std::fputs(text.c_str(), out);
    }
}

}  // namespace flowsieve::cli
