#include "cli/listing.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <string>

#include "flow/strategy.hpp"
#include "util/utf8.hpp"

namespace flowsieve::cli {
namespace {

enum Column {
    kArchive, kId, kProto, kProtoName, kSrc, kSrcPort, kDst, kDstPort, kPackets, kBytes, kStart, kDuration,
    kApp, kServerName, kTunnel, kCommunityId, kColumns
};
using Row = std::array<std::string, kColumns>;

// Names in CSV and JSON; the Flow attribute names where there is one.
constexpr const char* kKeys[kColumns] = {"archive",  "id",           "proto",       "proto_name", "src_addr",
                                         "src_port", "dst_addr",     "dst_port",    "packet_count",
                                         "total_bytes", "start_ts",  "duration",    "app",
                                         "server_name", "tunnel", "community_id"};
constexpr bool kNumeric[kColumns] = {false, true, true, false, false, true, false,
                                     true,  true, true, true, true, false, false, false, false};

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// The fraction of a second after the point: six digits, or nine for a
// time that does not fall on a whole microsecond.
std::string fraction_text(uint64_t ns) {
    char text[16];
    if (ns % 1000) std::snprintf(text, sizeof text, ".%09u", unsigned(ns % 1000000000));
    else std::snprintf(text, sizeof text, ".%06u", unsigned(ns % 1000000000 / 1000));
    return text;
}

std::string seconds_text(uint64_t ns) { return std::to_string(ns / 1000000000) + fraction_text(ns); }

std::string utc_text(uint64_t ns) {
    const time_t seconds = time_t(ns / 1000000000);
    struct tm tm;
    char text[64];
    if (!::gmtime_r(&seconds, &tm)) return seconds_text(ns);
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    if (n == 0) return seconds_text(ns);
    return text + fraction_text(ns);
}

// The table's address text: IPv6 in the short form of RFC 5952.
std::string short_address_text(const IpAddress& a) {
    FlowKey text;
    append_address(text, a);
    return std::string(text.text());
}

Row row_of(const ListedFlows& listed, const archive::FlowRecord& r) {
    Row row;
    row[kArchive] = listed.archive;
    row[kId] = std::to_string(r.id);
    row[kProto] = std::to_string(r.proto);
    row[kProtoName] = archive::protocol_name(r.proto);
    row[kSrc] = archive::address_text(r.src_ip());
    row[kSrcPort] = std::to_string(r.src_port);
    row[kDst] = archive::address_text(r.dst_ip());
    row[kDstPort] = std::to_string(r.dst_port);
    row[kPackets] = std::to_string(r.packet_count);
    row[kBytes] = std::to_string(r.total_bytes);
    row[kStart] = seconds_text(r.start_ns);
    row[kDuration] = r.end_ns >= r.start_ns ? seconds_text(r.end_ns - r.start_ns)
                                            : "-" + seconds_text(r.start_ns - r.end_ns);
    const std::optional<archive::FlowFields> fields = listed.reader->fields(r);
    if (fields) {
        row[kTunnel] = fields->tunnel;
        row[kApp] = fields->app;
        row[kServerName] = fields->server_name;
    }
    row[kCommunityId] = archive::flow_community_id(*listed.reader, r).value_or("");
    return row;
}

}  // namespace

// JSON string contents: file names may hold any byte but NUL, and JSON is
// Unicode, so bytes that are not UTF-8 become U+FFFD.
std::string json_escaped(std::string_view text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const auto c = utf8_at(text, at);
        if (!c) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (c->value == '"' || c->value == '\\') {
            out += '\\';
            out += char(c->value);
        } else if (is_control(c->value)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unsigned(c->value));
            out += escape;
        } else {
            out += text.substr(at, c->size);
        }
        at += c->size;
    }
    return out;
}

void print_table(std::FILE* out, const std::vector<ListedFlows>& listed, bool name_archives) {
    struct Shown {
        const char* title;
        Column column;
        bool right;
    };
    static constexpr Shown kAll[] = {
        {"ARCHIVE", kArchive, false},  {"ID", kId, true},           {"PROTO", kProto, false},
        {"SOURCE", kSrc, false},       {"SPORT", kSrcPort, true},   {"DESTINATION", kDst, false},
        {"DPORT", kDstPort, true},     {"PACKETS", kPackets, true}, {"BYTES", kBytes, true},
        {"START (UTC)", kStart, false}, {"DURATION", kDuration, true}, {"TUNNEL", kTunnel, false},
        {"COMMUNITY ID", kCommunityId, false}, {"APP", kApp, false},  {"NAME", kServerName, false},
    };
    // The tunnel column only where a flow was found in one, those of
    // applications and names where a flow has one.
    auto any_field = [&](auto has) {
        return std::any_of(listed.begin(), listed.end(), [&](const ListedFlows& l) {
            return std::any_of(l.flows.begin(), l.flows.end(), [&](const archive::FlowRecord* r) {
                const std::optional<archive::FlowFields> fields = l.reader->fields(*r);
                return fields && has(*fields);
            });
        });
    };
    const bool tunnels = any_field([](const archive::FlowFields& f) { return !f.tunnel.empty(); });
    const bool apps = any_field([](const archive::FlowFields& f) { return !f.app.empty(); });
    std::vector<Shown> shown(std::begin(kAll) + (name_archives ? 0 : 1), std::end(kAll));
    if (!tunnels) std::erase_if(shown, [](const Shown& s) { return s.column == kTunnel; });
    if (!apps) std::erase_if(shown, [](const Shown& s) { return s.column == kApp || s.column == kServerName; });
    const size_t columns = shown.size();
    // The protocol by name, or by number when it has none; the start as a date.
    auto shown_row = [](const ListedFlows& l, const archive::FlowRecord& r) {
        Row row = row_of(l, r);
        row[kArchive] = visible(row[kArchive]);
        if (row[kProtoName] != "?") row[kProto] = row[kProtoName];
        row[kSrc] = short_address_text(r.src_ip());
        row[kDst] = short_address_text(r.dst_ip());
        row[kStart] = utc_text(r.start_ns);
        return row;
    };
    // Two passes, so that a large archive is never held as text.
    size_t width[std::size(kAll)];
    for (size_t c = 0; c < columns; ++c) width[c] = std::strlen(shown[c].title);
    uint64_t flows = 0, packets = 0, bytes = 0;
    for (const ListedFlows& l : listed) {
        for (const archive::FlowRecord* r : l.flows) {
            const Row row = shown_row(l, *r);
            for (size_t c = 0; c < columns; ++c) width[c] = std::max(width[c], row[shown[c].column].size());
            packets += r->packet_count;
            bytes += r->total_bytes;
        }
        flows += l.flows.size();
    }
    auto line = [&](auto cell) {
        std::string text;
        for (size_t c = 0; c < columns; ++c) {
            const std::string value = cell(c);
            const std::string pad(width[c] - value.size(), ' ');
            if (c) text += "  ";
            text += shown[c].right ? pad + value : value + pad;
        }
        text.erase(text.find_last_not_of(' ') + 1);  // the last column is left-aligned
        text += '\n';
        std::fputs(text.c_str(), out);
    };
    line([&](size_t c) { return std::string(shown[c].title); });
    for (const ListedFlows& l : listed) {
        for (const archive::FlowRecord* r : l.flows) {
            const Row row = shown_row(l, *r);
            line([&](size_t c) { return row[shown[c].column]; });
        }
    }
    std::fprintf(out, "%llu %s, %llu %s, %llu %s\n", (unsigned long long)flows, flows == 1 ? "flow" : "flows",
                 (unsigned long long)packets, packets == 1 ? "packet" : "packets", (unsigned long long)bytes,
                 bytes == 1 ? "byte" : "bytes");
}

std::optional<ListFormat> parse_list_format(std::string_view lowered) {
    if (lowered == "table") return ListFormat::Table;
    if (lowered == "csv") return ListFormat::Csv;
    if (lowered == "json") return ListFormat::Json;
    return std::nullopt;
}

void print_header(std::FILE* out, ListFormat format, bool name_archives) {
    if (format != ListFormat::Csv) return;
    const size_t first = name_archives ? kArchive : kId;
    for (size_t c = first; c < kColumns; ++c) std::fprintf(out, c > first ? ",%s" : "%s", kKeys[c]);
    std::fputc('\n', out);
}

void print_rows(std::FILE* out, const ListedFlows& listed, ListFormat format, bool name_archives) {
    const size_t first = name_archives ? kArchive : kId;
    for (const archive::FlowRecord* r : listed.flows) {
        const Row row = row_of(listed, *r);
        std::string text = format == ListFormat::Json ? "{" : "";
        for (size_t c = first; c < kColumns; ++c) {
            if (c > first) text += format == ListFormat::Json ? ", " : ",";
            if (format == ListFormat::Csv) {
                text += csv_field(row[c]);
            } else {
                text += std::string("\"") + kKeys[c] + "\": ";
                // A flow without an IP layer has no Community ID, one outside tunnels no tunnel.
                if ((c == kCommunityId || c == kTunnel || c == kApp || c == kServerName) && row[c].empty())
                    text += "null";
                else text += kNumeric[c] ? row[c] : "\"" + json_escaped(row[c]) + "\"";
            }
        }
        text += format == ListFormat::Json ? "}\n" : "\n";
        std::fputs(text.c_str(), out);
    }
}

}  // namespace flowsieve::cli
