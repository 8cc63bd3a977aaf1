#include "tools/web/fleet_view.h"

#include <charconv>
#include <optional>

#include "tools/fleet/topics.h"

namespace ks318::web {
namespace {

using nlohmann::json;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::optional<bool> flagOf(std::string_view payload) {
    payload = trimmed(payload);
    if (payload.empty() || payload == "false") return false;  // an empty retained message clears the flag
    if (payload == "true") return true;
    return std::nullopt;
}

std::optional<std::uint64_t> countOf(std::string_view payload) {
    payload = trimmed(payload);
    if (payload.empty()) return 0;
    std::uint64_t count = 0;
    auto [end, error] = std::from_chars(payload.data(), payload.data() + payload.size(), count);
    if (error != std::errc() || end != payload.data() + payload.size()) return std::nullopt;
    return count;
}

std::optional<json> objectOf(std::string_view payload) {
    json parsed = json::parse(payload.begin(), payload.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

}  // namespace

FleetView::Site *FleetView::siteFor(const std::string &name) {
    auto found = sites_.find(name);
    if (found != sites_.end()) return &found->second;
    if (sites_.size() >= kMaxSites) return nullptr;
    return &sites_[name];
}

json FleetView::siteState(const std::string &name, const Site &site) {
    return {{"site", name}, {"online", site.online}, {"dropped", site.dropped}};
}

bool FleetView::firstSighting(Site &site, const json &event) {
    const auto boot = event.find("boot");
    const auto seq = event.find("seq");
    if (boot == event.end() || seq == event.end() || !boot->is_number_integer() || !seq->is_number_integer())
        return true;  // nothing to tell a repeat by
    const std::pair<std::int64_t, std::int64_t> key{boot->get<std::int64_t>(), seq->get<std::int64_t>()};
    if (!site.seenEvents.insert(key).second) return false;
    site.seenOrder.push_back(key);
    if (site.seenOrder.size() > kDuplicateWindow) {
        site.seenEvents.erase(site.seenOrder.front());
        site.seenOrder.pop_front();
    }
    return true;
}

std::vector<FleetView::Change> FleetView::apply(std::string_view topic, std::string_view payload) {
    std::vector<Change> changes;
    if (payload.size() > kMaxPayload) return changes;
    const fleet::FleetTopic parsed = fleet::parseFleetTopic(topic);
    if (parsed.kind == fleet::FleetTopic::Kind::Other) return changes;

    // Parsed before the lock: a large payload does not hold the readers up.
    std::optional<json> object;
    if ((parsed.kind == fleet::FleetTopic::Kind::Terminal || parsed.kind == fleet::FleetTopic::Kind::Event) && !payload.empty()) {
        object = objectOf(payload);
        if (!object) return changes;
    }

    std::lock_guard lock(mutex_);
    switch (parsed.kind) {
    case fleet::FleetTopic::Kind::Online: {
        const auto online = flagOf(payload);
        if (!online) break;
        Site *site = siteFor(parsed.site);
        if (site == nullptr || site->online == *online) break;
        site->online = *online;
        changes.push_back({"fleet-state", siteState(parsed.site, *site)});
        break;
    }
    case fleet::FleetTopic::Kind::Dropped: {
        const auto dropped = countOf(payload);
        if (!dropped) break;
        Site *site = siteFor(parsed.site);
        if (site == nullptr || site->dropped == *dropped) break;
        site->dropped = *dropped;
        changes.push_back({"fleet-state", siteState(parsed.site, *site)});
        break;
    }
    case fleet::FleetTopic::Kind::Terminal: {
        Site *site = siteFor(parsed.site);
        if (site == nullptr) break;
        auto found = site->terminals.find(parsed.id);
        if (!object) {
            // An empty retained message: the terminal is forgotten.
            if (found == site->terminals.end()) break;
            site->terminals.erase(found);
            --terminals_;
            changes.push_back({"fleet-state", {{"site", parsed.site}, {"id", parsed.id}, {"state", nullptr}}});
            break;
        }
        // Named as its topic names it, when the state leaves that out.
        if (!object->contains("site")) (*object)["site"] = parsed.site;
        if (!object->contains("id")) (*object)["id"] = parsed.id;
        if (found != site->terminals.end()) {
            if (found->second == *object) break;
            found->second = *object;
        } else {
            if (terminals_ >= kMaxTerminals) break;
            site->terminals.emplace(parsed.id, *object);
            ++terminals_;
        }
        changes.push_back({"fleet-state", {{"site", parsed.site}, {"id", parsed.id}, {"state", std::move(*object)}}});
        break;
    }
    case fleet::FleetTopic::Kind::Event: {
        if (!object) break;  // an event is never empty
        Site *site = siteFor(parsed.site);
        if (site == nullptr || !firstSighting(*site, *object)) break;
        if (!object->contains("kind")) (*object)["kind"] = parsed.eventKind;
        changes.push_back({"fleet", {{"site", parsed.site}, {"id", parsed.id}, {"event", std::move(*object)}}});
        break;
    }
    case fleet::FleetTopic::Kind::Other: break;
    }
    return changes;
}

json FleetView::sitesJson() const {
    std::lock_guard lock(mutex_);
    json sites = json::array();
    for (const auto &[name, site] : sites_) {
        json entry = siteState(name, site);
        json terminals = json::array();
        for (const auto &[id, state] : site.terminals) terminals.push_back(state);
        entry["terminals"] = std::move(terminals);
        sites.push_back(std::move(entry));
    }
    return sites;
}

bool FleetView::knowsSite(const std::string &site) const {
    std::lock_guard lock(mutex_);
    return sites_.count(site) != 0;
}

}  // namespace ks318::web
