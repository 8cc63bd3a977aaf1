// The fleet's topic names: what the bridges publish under ks318/<site>/ and
// where the dashboard sends them commands.
//
//   ks318/<site>/online                           retained: true / false
//   ks318/<site>/dropped                          retained: events dropped from the bridge's queue
//   ks318/<site>/terminals/<id>                   retained: the terminal's state
//   ks318/<site>/terminals/<id>/events/<kind>     one event of the terminal
//   ks318/<site>/terminals/<id>/commands/<action> a command for one terminal
//   ks318/<site>/all/commands/<action>            a command for every terminal of the site
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ks318::web {

// 1..64 of A-Z a-z 0-9 _ -
bool validSiteName(std::string_view site);
// 1..64 printable ASCII characters, none of them a space, '/', '+' or '#':
// a terminal's uid text (00:1A:2B:3C:4D:5E) or its address.
bool validTerminalId(std::string_view id);

struct FleetTopic {
    enum class Kind { Other, Online, Dropped, Terminal, Event };
    Kind kind = Kind::Other;
    std::string site;
    std::string id;         // Terminal and Event
    std::string eventKind;  // Event
};

// What a topic the dashboard subscribes to names; Other for anything else
// (another layout, an invalid site name or terminal id).
FleetTopic parseFleetTopic(std::string_view topic);

// The subscriptions that bring every site's state and events.
const std::vector<std::string> &fleetSubscriptions();

// `id` empty: the site's "all" topic.
std::string fleetCommandTopic(const std::string &site, const std::string &id, const std::string &action);

}  // namespace ks318::web
