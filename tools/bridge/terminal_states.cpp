#include "tools/bridge/terminal_states.h"

#include <algorithm>

#include "tools/shop/json_shapes.h"

namespace ks318::bridge {

TerminalStates::TerminalStates(const fleet::SiteTopics &topics, NumberOf numberOf, Publish publish, Publish publishGone)
    : topics_(topics), numberOf_(std::move(numberOf)), publish_(std::move(publish)),
      publishGone_(publishGone ? std::move(publishGone) : publish_) {}

nlohmann::json TerminalStates::stateOf(const std::string &id, int number, const web::TerminalRecord &record,
                                       bool connected) const {
    nlohmann::json state;
    state["site"] = topics_.site();
    state["id"] = id;
    state["terminal_id"] = record.id;
    state["number"] = number;
    web::addTerminalIdentity(state, record);
    state["connected"] = connected;
    return state;
}

void TerminalStates::publishState(Entry &entry) {
    publish_(topics_.terminalState(entry.id),
             web::dumpJson(stateOf(entry.id, numberOf_(entry.record->id), *entry.record, true)));
}

void TerminalStates::identified(const std::shared_ptr<web::TerminalRecord> &record, const std::string &id) {
    std::lock_guard lock(mutex_);
    // A terminal that already left says so with its departure.
    if (numberOf_(record->id) == 0) return;
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry &entry) { return entry.record == record; });
    if (found == entries_.end()) found = entries_.insert(entries_.end(), Entry{id, record});
    publishState(*found);
}

void TerminalStates::departed(const std::shared_ptr<web::TerminalRecord> &record, const std::string &id) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry &entry) { return entry.record == record; });
    // One that left before its id was known is still told of, as gone.
    Entry gone{id, record};
    if (found != entries_.end()) {
        gone = *found;
        entries_.erase(found);
    }
    auto sameId = std::find_if(entries_.begin(), entries_.end(), [&](const Entry &entry) { return entry.id == gone.id; });
    if (sameId != entries_.end() && numberOf_(sameId->record->id) != 0)
        publishState(*sameId);  // another terminal of that id is still here
    else publishGone_(topics_.terminalState(gone.id), web::dumpJson(stateOf(gone.id, 0, *gone.record, false)));
}

void TerminalStates::republish() {
    std::lock_guard lock(mutex_);
    for (Entry &entry : entries_)
        if (numberOf_(entry.record->id) != 0) publishState(entry);
}

void TerminalStates::retainedSeen(const std::string &id, const std::string &payload) {
    nlohmann::json state = nlohmann::json::parse(payload, nullptr, false);
    if (!state.is_object() || !state.contains("connected") || state["connected"] != true) return;
    std::lock_guard lock(mutex_);
    if (std::any_of(entries_.begin(), entries_.end(), [&](const Entry &entry) { return entry.id == id; })) return;
    state["connected"] = false;
    state["number"] = 0;
    publishGone_(topics_.terminalState(id), web::dumpJson(state));
}

std::vector<TerminalStates::Known> TerminalStates::known() const {
    std::lock_guard lock(mutex_);
    std::vector<Known> out;
    for (const Entry &entry : entries_) out.push_back({entry.id, entry.record});
    return out;
}

std::vector<TerminalStates::Known> TerminalStates::withId(const std::string &id) const {
    std::lock_guard lock(mutex_);
    std::vector<Known> out;
    for (const Entry &entry : entries_)
        if (entry.id == id) out.push_back({entry.id, entry.record});
    return out;
}

}  // namespace ks318::bridge
