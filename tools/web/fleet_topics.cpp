#include "tools/web/fleet_topics.h"

namespace ks318::web {
namespace {

constexpr std::size_t kMaxNameBytes = 64;

std::vector<std::string_view> levels(std::string_view topic) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto slash = topic.find('/', start);
        parts.push_back(topic.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) return parts;
        start = slash + 1;
    }
}

// Event kinds are words the bridge names its events by (connect, key, card ...).
bool validEventKind(std::string_view kind) {
    if (kind.empty() || kind.size() > 32) return false;
    for (const char c : kind)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
    return true;
}

}  // namespace

bool validSiteName(std::string_view site) {
    if (site.empty() || site.size() > kMaxNameBytes) return false;
    for (const char c : site)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    return true;
}

bool validTerminalId(std::string_view id) {
    if (id.empty() || id.size() > kMaxNameBytes) return false;
    for (const char c : id)
        if (c <= ' ' || c > '~' || c == '/' || c == '+' || c == '#') return false;
    return true;
}

FleetTopic parseFleetTopic(std::string_view topic) {
    FleetTopic parsed;
    const auto parts = levels(topic);
    if (parts.size() < 3 || parts[0] != "ks318" || !validSiteName(parts[1])) return parsed;
    if (parts.size() == 3 && parts[2] == "online") parsed.kind = FleetTopic::Kind::Online;
    else if (parts.size() == 3 && parts[2] == "dropped") parsed.kind = FleetTopic::Kind::Dropped;
    else if (parts.size() == 4 && parts[2] == "terminals" && validTerminalId(parts[3]))
        parsed.kind = FleetTopic::Kind::Terminal;
    else if (parts.size() == 6 && parts[2] == "terminals" && validTerminalId(parts[3]) && parts[4] == "events" &&
             validEventKind(parts[5])) {
        parsed.kind = FleetTopic::Kind::Event;
        parsed.eventKind = parts[5];
    } else
        return parsed;
    parsed.site = parts[1];
    if (parsed.kind == FleetTopic::Kind::Terminal || parsed.kind == FleetTopic::Kind::Event) parsed.id = parts[3];
    return parsed;
}

const std::vector<std::string> &fleetSubscriptions() {
    static const std::vector<std::string> topics = {"ks318/+/online", "ks318/+/dropped", "ks318/+/terminals/+",
                                                    "ks318/+/terminals/+/events/+"};
    return topics;
}

std::string fleetCommandTopic(const std::string &site, const std::string &id, const std::string &action) {
    if (id.empty()) return "ks318/" + site + "/all/commands/" + action;
    return "ks318/" + site + "/terminals/" + id + "/commands/" + action;
}

}  // namespace ks318::web
