// The topics of one site, all under ks318/<site>/: what the bridge publishes
// (online flag, dropped count, terminal states, events) and what it reads
// (commands, and the retained states left by an earlier run).
#pragma once

#include <optional>
#include <string>

namespace ks318::bridge {

// An identifier that can be one topic level: not empty, no '/', '+', '#' or
// control characters, at most 128 bytes.
bool usableTopicLevel(const std::string &level);

class SiteTopics {
public:
    explicit SiteTopics(std::string site);

    const std::string &site() const { return site_; }
    std::string online() const;
    std::string dropped() const;
    std::string terminalState(const std::string &id) const;
    std::string event(const std::string &id, const std::string &kind) const;

    // Subscription filters.
    std::string terminalStates() const;    // ks318/<site>/terminals/+
    std::string terminalCommands() const;  // ks318/<site>/terminals/+/commands/+
    std::string siteCommands() const;      // ks318/<site>/all/commands/+

    struct Command {
        std::optional<std::string> terminalId;  // nothing: every terminal of the site
        std::string action;
    };
    // A command topic of this site; nothing for any other topic.
    std::optional<Command> command(const std::string &topic) const;
    // The id of a terminal state topic of this site; nothing for any other topic.
    std::optional<std::string> stateId(const std::string &topic) const;

private:
    std::string site_;
    std::string prefix_;  // ks318/<site>/
};

}  // namespace ks318::bridge
