#include "cli/listing.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <tuple>

#include "cli/command.hpp"
#include "util/sha1.hpp"
#include "util/utf8.hpp"

namespace flowsieve::cli {
namespace {

// One flow of a listing, as the fields below read it.
struct Cell {
    const ListedFlows& listed;
    const archive::FlowRecord& r;
    bool dated;  // the table's starts carry their date: the flows start on several days
    // Its connection facts, decoded for the first field that asks.
    mutable std::optional<std::optional<ConnSummary>> connection{};
};

// In JSON; TextOrNull and Bare: null when empty, Bare otherwise as it is
// (a number, true or false).
enum class Kind { Number, Text, TextOrNull, Bare };

// The fields of a listing, in the order of csv and json. Those with a
// title are columns of the table too (`cell` their text there, when not
// the field's, made visible); those without a value, columns of the table
// alone. --long shows every column, the default those that fit in 80.
struct Field {
    const char* key;    // the csv and json name (the Flow attribute's, where there is one), and --columns'
    const char* title;  // in the table; nullptr: not there
    Kind kind;
    bool long_only;  // in the table with --long (or --columns) alone
    bool right;      // right-aligned in the table
    std::string (*value)(const Cell&);
    std::string (*cell)(const Cell&);
};

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

// Seconds to the millisecond, as the table shows a duration.
std::string millis_text(uint64_t ns) {
    char text[32];
    const uint64_t ms = (ns + 500000) / 1000000;
    std::snprintf(text, sizeof text, "%llu.%03u", (unsigned long long)(ms / 1000), unsigned(ms % 1000));
    return text;
}

// The UTC date of a time, or nothing when the platform cannot tell it.
std::optional<struct tm> utc_of(uint64_t ns) {
    const time_t seconds = time_t(ns / 1000000000);
    struct tm tm;
    if (!::gmtime_r(&seconds, &tm)) return std::nullopt;
    return tm;
}

// The table's start: the UTC time to the second, with its date when `dated`.
std::string start_text(uint64_t ns, bool dated) {
    const auto tm = utc_of(ns);
    char text[64];
    if (!tm || std::strftime(text, sizeof text, dated ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &*tm) == 0)
        return seconds_text(ns);
    return text;
}

// addr:port, IPv6 in brackets; the address alone for ICMP and a protocol
// without ports; - for a flow without an IP layer, whose addresses are zero.
std::string endpoint_text(const archive::FlowRecord& r, const IpAddress& address, uint16_t port, uint8_t proto) {
    static constexpr archive::StoredAddress kNone{};
    if (r.src_addr == kNone && r.dst_addr == kNone) return "-";
    std::string text = archive::short_address_text(address);
    if (address.family == 6) text = "[" + text + "]";
    const bool ports = proto == kIpProtoTcp || proto == kIpProtoUdp || proto == 132 ||
                       (port != 0 && proto != 1 && proto != kIpProtoIcmpv6);
    return ports ? text + ":" + std::to_string(port) : text;
}

int64_t signed_duration(const archive::FlowRecord& r) { return int64_t(r.end_ns - r.start_ns); }

// The flow's fields beyond the flow table; all empty for a flow without.
archive::FlowFields flow_fields(const Cell& c) { return c.listed.reader->fields(c.r).value_or(archive::FlowFields{}); }

// Its connection facts; nothing in an archive written before them.
const ConnSummary* connection(const Cell& c) {
    if (!c.connection) c.connection = c.listed.reader->connection(c.r);
    return *c.connection ? &**c.connection : nullptr;
}

// A connection count, empty without connection facts.
template <uint64_t ConnSummary::*Count>
std::string connection_count(const Cell& c) {
    const ConnSummary* conn = connection(c);
    return conn ? std::to_string(conn->*Count) : std::string();
}

const Field kFields[] = {
    {"archive", "ARCHIVE", Kind::Text, false, false, [](const Cell& c) { return c.listed.archive; },
     [](const Cell& c) { return visible(c.listed.archive); }},
    {"id", "ID", Kind::Number, false, true, [](const Cell& c) { return std::to_string(c.r.id); }, nullptr},
    // The protocol by name in the table, or by number when it has none.
    {"proto", "PROTO", Kind::Number, false, false, [](const Cell& c) { return std::to_string(c.r.proto); },
     [](const Cell& c) {
         const std::string name = archive::protocol_name(c.r.proto);
         return name != "?" ? name : std::to_string(c.r.proto);
     }},
    {"proto_name", nullptr, Kind::Text, false, false,
     [](const Cell& c) { return std::string(archive::protocol_name(c.r.proto)); }, nullptr},
    {"src", "SOURCE", Kind::Text, false, false, nullptr,
     [](const Cell& c) { return endpoint_text(c.r, c.r.src_ip(), c.r.src_port, c.r.proto); }},
    {"src_addr", nullptr, Kind::Text, false, false, [](const Cell& c) { return archive::short_address_text(c.r.src_ip()); },
     nullptr},
    {"src_port", nullptr, Kind::Number, false, false, [](const Cell& c) { return std::to_string(c.r.src_port); },
     nullptr},
    {"dst", "DESTINATION", Kind::Text, false, false, nullptr,
     [](const Cell& c) { return endpoint_text(c.r, c.r.dst_ip(), c.r.dst_port, c.r.proto); }},
    {"dst_addr", nullptr, Kind::Text, false, false, [](const Cell& c) { return archive::short_address_text(c.r.dst_ip()); },
     nullptr},
    {"dst_port", nullptr, Kind::Number, false, false, [](const Cell& c) { return std::to_string(c.r.dst_port); },
     nullptr},
    {"packet_count", "PKTS", Kind::Number, false, true, [](const Cell& c) { return std::to_string(c.r.packet_count); },
     nullptr},
    {"total_bytes", "BYTES", Kind::Number, false, true, [](const Cell& c) { return std::to_string(c.r.total_bytes); },
     nullptr},
    {"start_ts", "START", Kind::Number, false, false, [](const Cell& c) { return seconds_text(c.r.start_ns); },
     [](const Cell& c) { return start_text(c.r.start_ns, c.dated); }},
    // The times to the nanosecond as integers: a JSON reader takes start_ts as a double.
    {"start_ns", nullptr, Kind::Number, false, false, [](const Cell& c) { return std::to_string(c.r.start_ns); },
     nullptr},
    {"end_ns", nullptr, Kind::Number, false, false, [](const Cell& c) { return std::to_string(c.r.end_ns); },
     nullptr},
    // Negative when the capture's clock went back.
    {"duration", "DURATION", Kind::Number, false, true,
     [](const Cell& c) {
         const int64_t d = signed_duration(c.r);
         return d >= 0 ? seconds_text(uint64_t(d)) : "-" + seconds_text(uint64_t(-d));
     },
     [](const Cell& c) {
         const int64_t d = signed_duration(c.r);
         return d >= 0 ? millis_text(uint64_t(d)) : "-" + millis_text(uint64_t(-d));
     }},
    // The flow as a connection, by originator and responder; an archive
    // written before them has none, and a flow without an IP layer no state.
    {"orig_packets", nullptr, Kind::Bare, false, false, connection_count<&ConnSummary::orig_packets>, nullptr},
    {"orig_ip_bytes", nullptr, Kind::Bare, false, false, connection_count<&ConnSummary::orig_ip_bytes>, nullptr},
    {"resp_packets", nullptr, Kind::Bare, false, false, connection_count<&ConnSummary::resp_packets>, nullptr},
    {"resp_ip_bytes", nullptr, Kind::Bare, false, false, connection_count<&ConnSummary::resp_ip_bytes>, nullptr},
    {"flipped", nullptr, Kind::Bare, false, false,
     [](const Cell& c) {
         const ConnSummary* conn = connection(c);
         return std::string(!conn ? "" : conn->flipped ? "true" : "false");
     },
     nullptr},
    {"state", "STATE", Kind::TextOrNull, false, false,
     [](const Cell& c) {
         const ConnSummary* conn = connection(c);
         return std::string(conn ? conn_state_name(conn->state) : "");
     },
     nullptr},
    {"history", "HISTORY", Kind::TextOrNull, true, false,
     [](const Cell& c) {
         const ConnSummary* conn = connection(c);
         return conn ? conn->history : std::string();
     },
     nullptr},
    // What the payload is and the server name it carries, where it says.
    {"app", "APP", Kind::TextOrNull, true, false, [](const Cell& c) { return flow_fields(c).app; }, nullptr},
    {"server_name", "NAME", Kind::TextOrNull, true, false, [](const Cell& c) { return flow_fields(c).server_name; },
     nullptr},
    // The tunnels of the flow's first packet; a flow outside tunnels has none.
    {"tunnel", "TUNNEL", Kind::TextOrNull, true, false, [](const Cell& c) { return flow_fields(c).tunnel; }, nullptr},
    // A flow without an IP layer has none.
    {"community_id", "COMMUNITY ID", Kind::TextOrNull, true, false,
     [](const Cell& c) { return archive::flow_community_id(*c.listed.reader, c.r).value_or(""); }, nullptr},
};
constexpr size_t kArchiveField = 0;

std::string cell_text(const Field& f, const Cell& c) { return f.cell ? f.cell(c) : visible(f.value(c)); }

// Zeek's uid: "C" and 17 base62 digits, here of a hash of the archive's
// file name and the flow's id, the same on every listing.
std::string zeek_uid(const std::string& archive, uint64_t id) {
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    Sha1 hash;
    hash.update(reinterpret_cast<const uint8_t*>(archive.data()), archive.size());
    // A zero byte first: no file name holds one, so name and id never run together.
    uint8_t id_bytes[9] = {0};
    for (int i = 0; i < 8; ++i) id_bytes[i + 1] = uint8_t(id >> (8 * i));
    hash.update(id_bytes, sizeof id_bytes);
    const Sha1::Digest d = hash.finish();
    uint64_t high = 0, low = 0;
    for (int i = 0; i < 8; ++i) high = high << 8 | d[i], low = low << 8 | d[8 + i];
    std::string uid = "C";
    for (int i = 0; i < 17; ++i) {
        uint64_t& part = i < 9 ? high : low;
        uid += kDigits[part % 62];
        part /= 62;
    }
    return uid;
}

// One conn.log line: the originator first; "-" for what is unknown (a flow
// of one instant has no duration and no byte counts, as Zeek writes it).
std::string zeek_line(const Cell& cell) {
    const archive::FlowRecord& r = cell.r;
    const ConnSummary* c = connection(cell);
    const bool flipped = c && c->flipped;
    const std::string src = archive::short_address_text(r.src_ip()), dst = archive::short_address_text(r.dst_ip());
    const char* proto = r.proto == kIpProtoTcp   ? "tcp"
                        : r.proto == kIpProtoUdp ? "udp"
                        : r.proto == 1 || r.proto == kIpProtoIcmpv6 ? "icmp"
                                                                    : "unknown_transport";
    const bool timed = r.end_ns > r.start_ns;
    auto count = [&](uint64_t ConnSummary::*field, bool known) { return c && known ? std::to_string(c->*field) : "-"; };
    const std::string fields[] = {
        seconds_text(r.start_ns),
        zeek_uid(cell.listed.archive, r.id),
        flipped ? dst : src,
        std::to_string(flipped ? r.dst_port : r.src_port),
        flipped ? src : dst,
        std::to_string(flipped ? r.src_port : r.dst_port),
        proto,
        "-",  // service
        timed ? seconds_text(r.end_ns - r.start_ns) : "-",
        count(&ConnSummary::orig_bytes, timed),
        count(&ConnSummary::resp_bytes, timed),
        c && c->state != ConnState::Unknown ? std::string(conn_state_name(c->state)) : "-",
        "-",  // local_orig
        "-",  // local_resp
        count(&ConnSummary::missed_bytes, true),
        c && !c->history.empty() ? visible(c->history) : "-",
        count(&ConnSummary::orig_packets, true),
        count(&ConnSummary::orig_ip_bytes, true),
        count(&ConnSummary::resp_packets, true),
        count(&ConnSummary::resp_ip_bytes, true),
        "-",  // tunnel_parents
        archive::flow_community_id(*cell.listed.reader, r).value_or("-"),
    };
    std::string line;
    for (const std::string& f : fields) line += (line.empty() ? "" : "\t") + f;
    return line + '\n';
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

Result<std::vector<size_t>> table_columns(bool all, const std::optional<std::string>& chosen, bool name_archives) {
    std::vector<size_t> columns;
    if (!chosen) {
        for (size_t f = 0; f < std::size(kFields); ++f)
            if (kFields[f].title && (all || !kFields[f].long_only) && (f != kArchiveField || name_archives))
                columns.push_back(f);
        return columns;
    }
    std::string valid;
    for (const Field& f : kFields)
        if (f.title) valid += (valid.empty() ? "" : ", ") + std::string(f.key);
    for (size_t at = 0; at <= chosen->size();) {
        const size_t comma = std::min(chosen->find(',', at), chosen->size());
        const std::string name = lowered(chosen->substr(at, comma - at));
        const auto f = std::find_if(std::begin(kFields), std::end(kFields),
                                    [&](const Field& field) { return field.title && name == field.key; });
        if (f == std::end(kFields))
            return Error{"invalid --columns value '" + visible(chosen->substr(at, comma - at)) + "': valid are " + valid};
        columns.push_back(size_t(f - std::begin(kFields)));
        at = comma + 1;
    }
    return columns;
}

void print_table(std::FILE* out, const std::vector<ListedFlows>& listed, const std::vector<size_t>& chosen) {
    // Two passes, so that a large archive is never held as text: the first
    // measures, and finds whether the starts need their dates.
    std::optional<std::tuple<int, int, int>> day;
    bool dated = false;
    for (const ListedFlows& l : listed)
        for (const archive::FlowRecord* r : l.flows) {
            const auto tm = utc_of(r->start_ns);
            const auto this_day = tm ? std::make_tuple(tm->tm_year, tm->tm_mon, tm->tm_mday) : std::make_tuple(0, 0, 0);
            if (day && *day != this_day) dated = true;
            day = this_day;
        }
    std::vector<size_t> chosen_width(chosen.size(), 0);  // of the values alone
    uint64_t flows = 0, packets = 0, bytes = 0;
    for (const ListedFlows& l : listed) {
        for (const archive::FlowRecord* r : l.flows) {
            const Cell cell{l, *r, dated};
            for (size_t c = 0; c < chosen.size(); ++c)
                chosen_width[c] = std::max(chosen_width[c], cell_text(kFields[chosen[c]], cell).size());
            packets += r->packet_count;
            bytes += r->total_bytes;
        }
        flows += l.flows.size();
    }
    // A column of fields that flows may lack (names, tunnels, the Community
    // ID of a flow without an IP layer) only where a flow has one.
    std::vector<size_t> columns, width;
    for (size_t c = 0; c < chosen.size(); ++c) {
        if (kFields[chosen[c]].kind == Kind::TextOrNull && chosen_width[c] == 0)
            continue;
        columns.push_back(chosen[c]);
        width.push_back(std::max(chosen_width[c], std::strlen(kFields[chosen[c]].title)));
    }
    // One space between columns: the default columns of an IPv4 flow fit in 80.
    auto line = [&](auto text_of) {
        std::string text;
        for (size_t c = 0; c < columns.size(); ++c) {
            const std::string value = text_of(kFields[columns[c]]);
            const std::string pad(width[c] - std::min(width[c], value.size()), ' ');
            if (c) text += ' ';
            text += kFields[columns[c]].right ? pad + value : value + pad;
        }
        text.erase(text.find_last_not_of(' ') + 1);  // the last column may be left-aligned
        text += '\n';
        std::fputs(text.c_str(), out);
    };
    line([](const Field& f) { return std::string(f.title); });
    for (const ListedFlows& l : listed) {
        for (const archive::FlowRecord* r : l.flows) {
            const Cell cell{l, *r, dated};
            line([&](const Field& f) { return cell_text(f, cell); });
        }
    }
    std::string total = std::to_string(flows) + (flows == 1 ? " flow, " : " flows, ") + std::to_string(packets) +
                        (packets == 1 ? " packet, " : " packets, ") + std::to_string(bytes) +
                        (bytes == 1 ? " byte" : " bytes");
    // Starts without their dates have it here.
    if (day && !dated) {
        char date[32];
        std::snprintf(date, sizeof date, ", %04d-%02d-%02d (UTC)", std::get<0>(*day) + 1900, std::get<1>(*day) + 1,
                      std::get<2>(*day));
        total += date;
    }
    std::fprintf(out, "%s\n", total.c_str());
}

std::optional<ListFormat> parse_list_format(std::string_view lowered) {
    if (lowered == "table") return ListFormat::Table;
    if (lowered == "csv") return ListFormat::Csv;
    if (lowered == "json") return ListFormat::Json;
    if (lowered == "zeek") return ListFormat::Zeek;
    return std::nullopt;
}

void print_header(std::FILE* out, ListFormat format, bool name_archives) {
    if (format == ListFormat::Zeek) {
        std::fputs("#separator \\x09\n#set_separator\t,\n#empty_field\t(empty)\n#unset_field\t-\n#path\tconn\n"
                   "#fields\tts\tuid\tid.orig_h\tid.orig_p\tid.resp_h\tid.resp_p\tproto\tservice\tduration\t"
                   "orig_bytes\tresp_bytes\tconn_state\tlocal_orig\tlocal_resp\tmissed_bytes\thistory\torig_pkts\t"
                   "orig_ip_bytes\tresp_pkts\tresp_ip_bytes\ttunnel_parents\tcommunity_id\n"
                   "#types\ttime\tstring\taddr\tport\taddr\tport\tenum\tstring\tinterval\tcount\tcount\tstring\t"
                   "bool\tbool\tcount\tstring\tcount\tcount\tcount\tcount\tset[string]\tstring\n",
                   out);
        return;
    }
    if (format != ListFormat::Csv) return;
    std::string text;
    for (size_t f = name_archives ? 0 : kArchiveField + 1; f < std::size(kFields); ++f)
        if (kFields[f].value) text += (text.empty() ? "" : ",") + std::string(kFields[f].key);
    std::fprintf(out, "%s\n", text.c_str());
}

void print_rows(std::FILE* out, const ListedFlows& listed, ListFormat format, bool name_archives) {
    if (format == ListFormat::Zeek) {
        // Zeek logs connections of IP only.
        for (const archive::FlowRecord* r : listed.flows)
            if (r->has_ip()) std::fputs(zeek_line(Cell{listed, *r, true}).c_str(), out);
        return;
    }
    const bool json = format == ListFormat::Json;
    for (const archive::FlowRecord* r : listed.flows) {
        const Cell cell{listed, *r, true};
        std::string text = json ? "{" : "";
        bool first = true;
        for (size_t f = name_archives ? 0 : kArchiveField + 1; f < std::size(kFields); ++f) {
            const Field& field = kFields[f];
            if (!field.value) continue;
            if (!first) text += json ? ", " : ",";
            first = false;
            const std::string value = field.value(cell);
            if (!json) text += csv_field(value);
            else if ((field.kind == Kind::TextOrNull || field.kind == Kind::Bare) && value.empty())
                text += "\"" + std::string(field.key) + "\": null";
            else if (field.kind == Kind::Number || field.kind == Kind::Bare) text += "\"" + std::string(field.key) + "\": " + value;
            else text += "\"" + std::string(field.key) + "\": \"" + json_escaped(value) + "\"";
        }
        text += json ? "}\n" : "\n";
        std::fputs(text.c_str(), out);
    }
}

}  // namespace flowsieve::cli
