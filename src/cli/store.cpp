#include "cli/store.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "flow/filter.hpp"
#include "util/os_error.hpp"

namespace flowsieve::cli {
namespace {

bool ends_with(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}


// `problem` opens the usage error of a text that is no address.
archive::StoredAddress address(const std::string& text, const std::string& problem) {
    auto ip = parse_ip_address(text);
    if (!ip) usage(problem + "'" + text + "' is not an IPv4 or IPv6 address");
    return archive::encode_address(*ip);
}

// "PROTO ADDR PORT ADDR PORT", the protocol by name or number.
archive::FiveTuple five_tuple(const std::string& text) {
    std::vector<std::string> words;
    for (size_t i = 0; i < text.size();) {
        const size_t start = text.find_first_not_of(" \t", i);
        if (start == std::string::npos) break;
        const size_t end = std::min(text.find_first_of(" \t", start), text.size());
        words.push_back(text.substr(start, end - start));
        i = end;
    }
    if (words.size() != 5) usage("invalid --flow '" + text + "': give PROTO ADDR PORT ADDR PORT");
    archive::FiveTuple t;
    const std::string proto = lowered(words[0]);
    if (auto named = archive::protocol_number(proto)) t.protocol = *named;
    else if (!proto.empty() && proto.find_first_not_of("0123456789") == std::string::npos)
        t.protocol = uint8_t(number(proto, 255, "protocol number"));
    else usage("invalid --flow '" + text + "': protocol tcp, udp, icmp, icmpv6 or a number");
    const std::string where = "invalid --flow '" + text + "': ";
    t.a = address(words[1], where);
    t.a_port = port(words[2]);
    t.b = address(words[3], where);
    t.b_port = port(words[4]);
    return t;
}

uint64_t time_option(const Parsed& p, int code, const char* name) {
    const std::string text = p.last(code);
    auto micros = parse_time(text);
    if (!micros)
        usage(std::string("invalid ") + name + " '" + text +
              "': seconds since the epoch or an ISO 8601 date and time, e.g. 2024-05-01T14:00:00Z");
    return *micros;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// Reads exactly n digits at pos.
std::optional<unsigned> digits(std::string_view t, size_t& pos, size_t n) {
    if (pos + n > t.size()) return std::nullopt;
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = t[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + unsigned(c - '0');
    }
    pos += n;
    return v;
}

// A fraction of a second after the point at pos: up to six digits kept,
// further digits must be digits and are dropped.
std::optional<uint64_t> fraction(std::string_view t, size_t& pos) {
    if (pos >= t.size() || t[pos] != '.') return 0;
    ++pos;
    uint64_t micros = 0;
    size_t n = 0;
    for (; pos < t.size() && t[pos] >= '0' && t[pos] <= '9'; ++pos, ++n)
        if (n < 6) micros = micros * 10 + uint64_t(t[pos] - '0');
    if (n == 0) return std::nullopt;
    for (; n < 6; ++n) micros *= 10;
    return micros;
}

}  // namespace

std::optional<uint64_t> parse_time(std::string_view t) {
    size_t pos = 0;
    if (t.find('-') == std::string_view::npos) {
        // Seconds since the epoch.
        uint64_t seconds = 0;
        for (; pos < t.size() && t[pos] >= '0' && t[pos] <= '9'; ++pos) {
            if (seconds > (UINT64_MAX / 1000000 - 9) / 10) return std::nullopt;
            seconds = seconds * 10 + uint64_t(t[pos] - '0');
        }
        if (pos == 0) return std::nullopt;
        auto micros = fraction(t, pos);
        if (!micros || pos != t.size()) return std::nullopt;
        return seconds * 1000000 + *micros;
    }
    auto year = digits(t, pos, 4);
    if (!year || pos >= t.size() || t[pos++] != '-') return std::nullopt;
    auto month = digits(t, pos, 2);
    if (!month || pos >= t.size() || t[pos++] != '-') return std::nullopt;
    auto day = digits(t, pos, 2);
    static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!day || *month < 1 || *month > 12 || *day < 1 || *day > kDays[*month - 1]) return std::nullopt;
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    if (*month == 2 && *day == 29 && !leap) return std::nullopt;
    int64_t seconds = days_from_civil(*year, *month, *day) * 86400;
    uint64_t micros = 0;
    if (pos < t.size() && (t[pos] == 'T' || t[pos] == 't' || t[pos] == ' ')) {
        ++pos;
        auto hour = digits(t, pos, 2);
        if (!hour || pos >= t.size() || t[pos++] != ':') return std::nullopt;
        auto minute = digits(t, pos, 2);
        std::optional<unsigned> second = 0;
        if (minute && pos < t.size() && t[pos] == ':') second = digits(t, ++pos, 2);
        if (!minute || !second || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
        auto part = fraction(t, pos);
        if (!part) return std::nullopt;
        seconds += int64_t(*hour) * 3600 + int64_t(*minute) * 60 + int64_t(*second);
        micros = *part;
        if (pos < t.size() && (t[pos] == 'Z' || t[pos] == 'z')) {
            ++pos;
        } else if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
            const int sign = t[pos++] == '+' ? 1 : -1;
            auto off_hours = digits(t, pos, 2);
            std::optional<unsigned> off_minutes = 0;
            if (pos < t.size() && t[pos] == ':') ++pos;
            if (pos < t.size()) off_minutes = digits(t, pos, 2);
            if (!off_hours || !off_minutes || *off_hours > 23 || *off_minutes > 59) return std::nullopt;
            seconds -= sign * (int64_t(*off_hours) * 3600 + int64_t(*off_minutes) * 60);
        }
    }
    if (pos != t.size() || seconds < 0) return std::nullopt;
    return uint64_t(seconds) * 1000000 + micros;
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> folder_archives(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) throw CallError::io(os_error(errno), folder);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name[0] != '.' && ends_with(name, ".fsieve")) names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    for (std::string& name : names) name = prefix + name;
    return names;
}

bool is_folder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool names_several(const std::vector<std::string>& paths) { return paths.size() > 1 || is_folder(paths.at(0)); }

Store choose_flows(const std::vector<std::string>& paths,
                   const std::function<archive::FlowList(const archive::ArchiveReader&, const std::string& path)>& choose) {
    Store store;
    size_t read = 0, skipped = 0;
    auto take = [&](const std::string& path, std::shared_ptr<const archive::ArchiveReader> reader) {
        archive::FlowList flows = choose(*reader, path);
        ++read;
        if (!store.first_format) store.first_format = reader->frame_format();
        if (!flows.empty()) store.archives.push_back({path, base_name(path), std::move(reader), std::move(flows)});
    };
    auto skip = [&](const std::string& member, const std::string& problem) {
        message("warning: skipped " + member + ": " + problem);
        ++skipped;
    };
    for (const std::string& path : paths) {
        if (!is_folder(path)) {
            take(path, open_or_throw(path));
            continue;
        }
        for (const std::string& member : folder_archives(path)) {
            auto reader = archive::open_archive(member);
            if (!reader) {
                skip(member, reader.error().message);
                continue;
            }
            // Damage that shows only once flows are chosen skips the archive too.
            try {
                take(member, std::move(reader).value());
            } catch (const CallError& e) {
                skip(member, e.message);
            }
        }
    }
    if (read == 0 && skipped > 0) throw CallError::runtime("no archive could be read");
    return store;
}

namespace {

// A protocol by name or number; `problem` opens the usage error of another text.
uint8_t protocol(const std::string& text, const std::string& problem) {
    const std::string name = lowered(text);
    if (auto named = archive::protocol_number(name)) return *named;
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
        return uint8_t(number(name, 255, "protocol number"));
    usage(problem + "protocol tcp, udp, icmp, icmpv6 or a number");
}

// "1:" and the base64 of 20 bytes, as the Community ID's definition writes
// it: any other text would match no flow.
bool is_community_id(const std::string& text) {
    static constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() != 30 || text.compare(0, 2, "1:") != 0 || text.back() != '=') return false;
    for (size_t i = 2; i < 29; ++i) {
        const size_t value = kBase64.find(text[i]);
        // The last digit holds the last 4 bits of the 20 bytes, then zeros.
        if (value == std::string_view::npos || (i == 28 && value % 4 != 0)) return false;
    }
    return true;
}

}  // namespace

archive::FlowQuery parse_query(const Parsed& p) {
    archive::FlowQuery q;
    for (const std::string& ip : ip_filters(p)) q.any_address.push_back(address(ip, "invalid --ip value: "));
    q.any_port = port_filters(p);
    for (const std::string& ip : ip_filters(p, kBetween)) q.addresses.push_back(address(ip, "invalid --between value: "));
    q.ports = port_filters(p, kBetweenPort);
    for (const std::string& name : p.all(kProto))
        q.protocols.push_back(protocol(name, "invalid --proto value '" + name + "': "));
    if (p.has(kSince)) q.since = time_option(p, kSince, "--since");
    if (p.has(kUntil)) q.until = time_option(p, kUntil, "--until");
    if (p.has(kFlow)) q.tuple = five_tuple(p.last(kFlow));
    if (p.has(kCommunityId)) {
        q.community_id = p.last(kCommunityId);
        if (!is_community_id(*q.community_id))
            usage("invalid --community-id '" + *q.community_id + "': 1: and the base64 of 20 bytes (30 characters, " +
                  "ending in =), as 'flowsieve flows' lists it");
    }
    return q;
}

std::vector<option> query_options() {
    return {{"ip", required_argument, nullptr, kIp},
            {"port", required_argument, nullptr, kPort},
            {"between", required_argument, nullptr, kBetween},
            {"between-port", required_argument, nullptr, kBetweenPort},
            {"proto", required_argument, nullptr, kProto},
            {"since", required_argument, nullptr, kSince},
            {"until", required_argument, nullptr, kUntil},
            {"flow", required_argument, nullptr, kFlow},
            {"community-id", required_argument, nullptr, kCommunityId}};
}

}  // namespace flowsieve::cli
