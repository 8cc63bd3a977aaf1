#include "tools/bridge/site_topics.h"

#include <algorithm>
#include <vector>

namespace ks318::bridge {
namespace {

constexpr std::size_t kMaxLevelBytes = 128;

// The levels of `rest`, split at '/'.
std::vector<std::string> levels(const std::string &rest) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (;;) {
        const auto slash = rest.find('/', from);
        out.push_back(rest.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
        if (slash == std::string::npos) return out;
        from = slash + 1;
    }
}

}  // namespace

bool usableTopicLevel(const std::string &level) {
    if (level.empty() || level.size() > kMaxLevelBytes) return false;
    return std::none_of(level.begin(), level.end(), [](unsigned char c) {
        return c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F;
    });
}

SiteTopics::SiteTopics(std::string site) : site_(std::move(site)), prefix_("ks318/" + site_ + "/") {}

std::string SiteTopics::online() const { return prefix_ + "online"; }
std::string SiteTopics::dropped() const { return prefix_ + "dropped"; }
std::string SiteTopics::terminalState(const std::string &id) const { return prefix_ + "terminals/" + id; }
std::string SiteTopics::event(const std::string &id, const std::string &kind) const {
    return prefix_ + "terminals/" + id + "/events/" + kind;
}
std::string SiteTopics::terminalStates() const { return prefix_ + "terminals/+"; }
std::string SiteTopics::terminalCommands() const { return prefix_ + "terminals/+/commands/+"; }
std::string SiteTopics::siteCommands() const { return prefix_ + "all/commands/+"; }

std::optional<SiteTopics::Command> SiteTopics::command(const std::string &topic) const {
    if (topic.rfind(prefix_, 0) != 0) return std::nullopt;
    const std::vector<std::string> parts = levels(topic.substr(prefix_.size()));
    if (parts.size() == 3 && parts[0] == "all" && parts[1] == "commands" && !parts[2].empty())
        return Command{std::nullopt, parts[2]};
    if (parts.size() == 4 && parts[0] == "terminals" && usableTopicLevel(parts[1]) && parts[2] == "commands" &&
        !parts[3].empty())
        return Command{parts[1], parts[3]};
    return std::nullopt;
}

std::optional<std::string> SiteTopics::stateId(const std::string &topic) const {
    if (topic.rfind(prefix_, 0) != 0) return std::nullopt;
    const std::vector<std::string> parts = levels(topic.substr(prefix_.size()));
    if (parts.size() == 2 && parts[0] == "terminals" && usableTopicLevel(parts[1])) return parts[1];
    return std::nullopt;
}

}  // namespace ks318::bridge
