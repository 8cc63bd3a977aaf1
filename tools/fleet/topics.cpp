#include "tools/fleet/topics.h"

#include <algorithm>

namespace ks318::fleet {
namespace {

constexpr std::size_t kMaxNameBytes = 64;

// The levels of a topic, split at '/'.
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
    return std::all_of(kind.begin(), kind.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; });
}

}  // namespace

bool validSiteName(std::string_view site) {
    if (site.empty() || site.size() > kMaxNameBytes) return false;
    return std::all_of(site.begin(), site.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

bool validTerminalId(std::string_view id) {
    if (id.empty() || id.size() > kMaxNameBytes) return false;
    return std::none_of(id.begin(), id.end(),
                        [](char c) { return c <= ' ' || c > '~' || c == '/' || c == '+' || c == '#'; });
}

bool validResponseTopic(std::string_view topic) {
    if (topic.size() <= kReplyPrefix.size() || topic.size() > 65535 || topic.substr(0, kReplyPrefix.size()) != kReplyPrefix)
        return false;
    return topic.find_first_of(std::string_view("+#\0", 3)) == std::string_view::npos;
}

SiteTopics::SiteTopics(std::string site) : site_(std::move(site)), prefix_("ks318/" + site_ + "/") {}

std::string SiteTopics::online() const { return prefix_ + "online"; }
std::string SiteTopics::dropped() const { return prefix_ + "dropped"; }
std::string SiteTopics::duplicates() const { return prefix_ + "duplicates"; }
std::string SiteTopics::terminalState(const std::string &id) const { return prefix_ + "terminals/" + id; }
std::string SiteTopics::event(const std::string &id, const std::string &kind) const {
    return prefix_ + "terminals/" + id + "/events/" + kind;
}
std::string SiteTopics::commandTopic(const std::string &id, const std::string &action) const {
    if (id.empty()) return prefix_ + "all/commands/" + action;
    return prefix_ + "terminals/" + id + "/commands/" + action;
}
std::string SiteTopics::terminalStates() const { return prefix_ + "terminals/+"; }
std::string SiteTopics::terminalCommands() const { return prefix_ + "terminals/+/commands/+"; }
std::string SiteTopics::siteCommands() const { return prefix_ + "all/commands/+"; }

std::optional<SiteTopics::Command> SiteTopics::command(const std::string &topic) const {
    if (topic.rfind(prefix_, 0) != 0) return std::nullopt;
    const auto parts = levels(std::string_view(topic).substr(prefix_.size()));
    if (parts.size() == 3 && parts[0] == "all" && parts[1] == "commands" && !parts[2].empty())
        return Command{std::nullopt, std::string(parts[2])};
    if (parts.size() == 4 && parts[0] == "terminals" && validTerminalId(parts[1]) && parts[2] == "commands" &&
        !parts[3].empty())
        return Command{std::string(parts[1]), std::string(parts[3])};
    return std::nullopt;
}

std::optional<std::string> SiteTopics::stateId(const std::string &topic) const {
    if (topic.rfind(prefix_, 0) != 0) return std::nullopt;
    const auto parts = levels(std::string_view(topic).substr(prefix_.size()));
    if (parts.size() == 2 && parts[0] == "terminals" && validTerminalId(parts[1])) return std::string(parts[1]);
    return std::nullopt;
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

}  // namespace ks318::fleet
