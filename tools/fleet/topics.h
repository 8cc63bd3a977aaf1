// The fleet's topics, in one place for the bridges that publish them and the
// dashboard that reads them:
//
//   ks318/<site>/online                           retained: true / false (false as the bridge's last will)
//   ks318/<site>/dropped                          retained: events dropped from the bridge's queue
//   ks318/<site>/terminals/<id>                   retained: the terminal's state
//   ks318/<site>/terminals/<id>/events/<kind>     one event of the terminal
//   ks318/<site>/terminals/<id>/commands/<action> a command for one terminal
//   ks318/<site>/all/commands/<action>            a command for every terminal of the site
//   ks318/<site>/duplicates                       a terminal that claims an id another one holds
//   ks318-reply/...                               answers to commands (the only response topics taken)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ks318::fleet {

// 1..64 of A-Z a-z 0-9 _ -: a name that is one topic level and never a wildcard.
bool validSiteName(std::string_view site);

// 1..64 printable ASCII characters, none of them a space, '/', '+' or '#': a
// terminal's identifier text (00:1A:2B:3C:4D:5E) or its address. A terminal whose
// identifier text is not one goes by its address.
bool validTerminalId(std::string_view id);

// Bridges answer only on response topics under this prefix: the ACL lets them
// write there and nowhere else outside their site, so a command cannot make a
// bridge publish on any site's own topics.
inline constexpr std::string_view kReplyPrefix = "ks318-reply/";

// A topic under kReplyPrefix with something after it, no wildcard, no NUL, and
// short enough for MQTT.
bool validResponseTopic(std::string_view topic);

// The topics of one site, as its bridge uses them.
class SiteTopics {
public:
    explicit SiteTopics(std::string site);

    const std::string &site() const { return site_; }
    std::string online() const;
    std::string dropped() const;
    std::string duplicates() const;
    std::string terminalState(const std::string &id) const;
    std::string event(const std::string &id, const std::string &kind) const;
    // `id` empty: the site's "all" topic.
    std::string commandTopic(const std::string &id, const std::string &action) const;

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

// What a topic of any site names, as the dashboard follows them all.
struct FleetTopic {
    enum class Kind { Other, Online, Dropped, Terminal, Event };
    Kind kind = Kind::Other;
    std::string site;
    std::string id;         // Terminal and Event
    std::string eventKind;  // Event
};

// Other for anything but the layout above (an invalid site name, terminal id or
// event kind among them).
FleetTopic parseFleetTopic(std::string_view topic);

// The subscriptions that bring every site's state and events.
const std::vector<std::string> &fleetSubscriptions();

}  // namespace ks318::fleet
