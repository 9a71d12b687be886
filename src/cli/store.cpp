#include "cli/store.hpp"

#include "archive/conditions.hpp"

namespace flowsieve::cli {
namespace {

// The value of a query option by the core's reading of its text; its
// error is a usage error that quotes the text.
template <class Parse>
auto condition(const std::string& name, const std::string& text, Parse parse) {
    auto value = parse(text);
    if (!value) usage("invalid " + name + " '" + text + "': " + value.error().message);
    return std::move(value).value();
}

}  // namespace

bool names_several(const std::vector<std::string>& paths) {
    return paths.size() > 1 || archive::is_folder(paths.at(0));
}

archive::Answers choose_flows(const std::vector<std::string>& paths, const archive::Choose& choose) {
    auto archives = archive::store_archives(paths);
    if (!archives) throw std::move(archives).error();
    auto answers = archive::ask_archives(*archives, choose, [](const std::string& path, const std::string& why) {
        message("warning: skipped " + path + ": " + why);
    });
    if (!answers) throw std::move(answers).error();
    return std::move(answers).value();
}

archive::FlowQuery parse_query(const Parsed& p) {
    archive::FlowQuery q;
    for (const std::string& ip : p.all(kIp)) q.addresses.push_back(condition("--ip value", ip, archive::parse_address));
    for (const std::string& text : p.all(kPort)) q.ports.push_back(port(text));
    for (const std::string& name : p.all(kProto))
        q.protocols.push_back(condition("--proto value", name, archive::parse_protocol_name));
    if (p.has(kSince)) q.since = condition("--since", p.last(kSince), archive::parse_time);
    if (p.has(kUntil)) q.until = condition("--until", p.last(kUntil), archive::parse_time);
    if (p.has(kFlow)) q.tuple = condition("--flow", p.last(kFlow), archive::parse_five_tuple);
    if (p.has(kCommunityId))
        q.community_id = condition("--community-id", p.last(kCommunityId), archive::parse_community_id);
    return q;
}

std::vector<option> query_options() {
    return {{"ip", required_argument, nullptr, kIp},
            {"port", required_argument, nullptr, kPort},
            {"proto", required_argument, nullptr, kProto},
            {"since", required_argument, nullptr, kSince},
            {"until", required_argument, nullptr, kUntil},
            {"flow", required_argument, nullptr, kFlow},
            {"community-id", required_argument, nullptr, kCommunityId}};
}

}  // namespace flowsieve::cli
