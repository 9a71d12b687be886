#include "cli/store.hpp"

#include "archive/conditions.hpp"
#include "flow/naming.hpp"

namespace flowsieve::cli {
namespace {

// The value of a query option by the core's reading of its text; its
// error is a usage error that quotes the text.
template <class Parse>
auto condition(const std::string& name, const std::string& text, Parse parse, const std::string& hint = "") {
    auto value = parse(text);
    if (!value) usage("invalid " + name + " '" + text + "': " + value.error().message + hint);
    return std::move(value).value();
}

}  // namespace

bool names_several(const std::vector<std::string>& paths) {
    return paths.size() > 1 || archive::is_folder(paths.at(0));
}

void warn_skipped(const std::string& path, const std::string& why) { message("warning: skipped " + path + ": " + why); }

archive::Answers choose_flows(const std::vector<std::string>& paths, const archive::FlowQuery& query,
                              const archive::Choose& choose) {
    auto archives = archive::store_archives(paths);
    if (!archives) throw std::move(archives).error();
    auto answers = archive::ask_archives(*archives, choose, warn_skipped, open_named_archive, &query);
    if (!answers) throw std::move(answers).error();
    return std::move(answers).value();
}

archive::FlowQuery parse_query(const Parsed& p) {
    archive::FlowQuery q;
    // Checked and named as split and archive check their address and port filters.
    for (const std::string& ip : ip_filters(p)) q.any_address.push_back(archive::parse_address(ip).value());
    q.any_port = port_filters(p);
    for (const std::string& ip : ip_filters(p, kBetween)) q.addresses.push_back(archive::parse_address(ip).value());
    q.ports = port_filters(p, kBetweenPort);
    for (const std::string& text : p.all(kProto)) {
        const bool number = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        q.protocols.push_back(condition(number ? "protocol number" : "--proto value", text, archive::parse_protocol));
    }
    if (p.has(kSince)) q.since = condition("--since", p.last(kSince), archive::parse_time);
    if (p.has(kUntil)) q.until = condition("--until", p.last(kUntil), archive::parse_time);
    if (p.has(kFlow)) q.tuple = condition("--flow", p.last(kFlow), archive::parse_five_tuple);
    if (p.has(kCommunityId))
        q.community_id = condition("--community-id", p.last(kCommunityId), archive::parse_community_id,
                                   ", as 'flowsieve flows' lists it");
    q.names = p.all(kName);
    if (p.has(kApp)) {
        const std::string app = lowered(p.last(kApp));
        if (!app_of_name(app)) usage("invalid --app '" + p.last(kApp) + "': tls, quic, http, dns, ssh or bittorrent");
        q.app = app;
    }
    if (p.has(kVni)) q.vni = uint32_t(number(p.last(kVni), 0xFFFFFF, "--vni value"));
    for (const std::string& text : p.all(kState)) q.states.push_back(condition("--state", text, archive::parse_conn_state));
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
            {"community-id", required_argument, nullptr, kCommunityId},
            {"vni", required_argument, nullptr, kVni},
            {"name", required_argument, nullptr, kName},
            {"app", required_argument, nullptr, kApp},
            {"state", required_argument, nullptr, kState}};
}

}  // namespace flowsieve::cli
