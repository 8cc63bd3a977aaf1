// What the dashboard knows of the fleet, built from the bridges' messages: each
// site's online flag and dropped count, and the state of each of its terminals,
// as last retained. Messages come on the MQTT client's thread; the HTTP workers
// read. Anything a bridge (or anyone else on the broker) sends that does not fit
// is left out, and bounded in size and number, never trusted.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace ks318::web {

class FleetView {
public:
    static constexpr std::size_t kMaxPayload = 1 << 20;
    static constexpr std::size_t kMaxSites = 4096;
    static constexpr std::size_t kMaxTerminals = 262144;  // over every site
    // Events told apart by (boot, seq) per site: how many are remembered.
    static constexpr std::size_t kDuplicateWindow = 4096;

    // An event for the streams: kind "fleet" (a terminal's event at a site) or
    // "fleet-state" (a site's online flag or dropped count, or a terminal's state, changed).
    struct Change {
        std::string kind;
        nlohmann::json fields;
    };

    // Takes one message; gives what it changed (nothing for a repeat, a
    // duplicate event or a message that does not fit).
    std::vector<Change> apply(std::string_view topic, std::string_view payload);

    // [{"site","online","dropped","terminals":[STATE...]}...], sites and terminals by name.
    nlohmann::json sitesJson() const;
    bool knowsSite(const std::string &site) const;

private:
    struct Site {
        bool online = false;
        std::uint64_t dropped = 0;
        std::map<std::string, nlohmann::json> terminals;
        std::set<std::pair<std::int64_t, std::int64_t>> seenEvents;
        std::deque<std::pair<std::int64_t, std::int64_t>> seenOrder;  // oldest first
    };

    // The site, made when new and there is room; null when there is none.
    Site *siteFor(const std::string &name);  // under mutex_
    static nlohmann::json siteState(const std::string &name, const Site &site);
    // False for an event already seen (a QoS 1 message that came twice).
    static bool firstSighting(Site &site, const nlohmann::json &event);

    mutable std::mutex mutex_;
    std::map<std::string, Site> sites_;
    std::size_t terminals_ = 0;
};

}  // namespace ks318::web
