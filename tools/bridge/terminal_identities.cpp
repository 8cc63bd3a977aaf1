#include "tools/bridge/terminal_identities.h"

#include <algorithm>
#include <array>

#include "tools/fleet/topics.h"

namespace ks318::bridge {

bool forwardedKind(const std::string &kind) {
    static const std::array<const char *, 7> kKinds = {"connect", "disconnect", "key", "card", "serial", "answer", "file"};
    return std::any_of(kKinds.begin(), kKinds.end(), [&](const char *known) { return kind == known; });
}

std::string distinctId(const std::string &id, std::int32_t libraryId) {
    const std::string suffix = "~" + std::to_string(libraryId);
    return id.substr(0, 64 - suffix.size()) + suffix;
}

std::string terminalId(const std::string &uid, const std::string &address, std::int32_t libraryId) {
    const bool allZero = std::all_of(uid.begin(), uid.end(), [](char c) { return c == '0' || c == ':'; });
    if (uid.empty() || allZero || !fleet::validTerminalId(uid)) return distinctId(address, libraryId);
    return uid;
}

TerminalIdentities::Terminal &TerminalIdentities::terminalFor(const std::shared_ptr<web::TerminalRecord> &record,
                                                              Clock::time_point now) {
    auto found = terminals_.find(record);
    if (found != terminals_.end()) return found->second;
    Terminal &terminal = terminals_[record];
    terminal.address = record->address;
    terminal.deadline = now + kIdentifyWait;
    return terminal;
}

void TerminalIdentities::resolve(const std::shared_ptr<web::TerminalRecord> &record, Terminal &terminal,
                                 std::string id, std::vector<Step> &steps) {
    for (const auto &[other, known] : terminals_) {
        if (other == record || known.id != id) continue;
        const std::string given = distinctId(id, record->id);
        nlohmann::json report = {{"uid", id},
                                 {"id", given},
                                 {"terminal_id", record->id},
                                 {"address", terminal.address},
                                 {"holder", {{"id", id}, {"terminal_id", other->id}, {"address", known.address}}}};
        steps.push_back({Step::Kind::Duplicate, record, given, std::move(report), ""});
        id = given;
        break;
    }
    terminal.id = id;
    steps.push_back({Step::Kind::Identified, record, id, nullptr, ""});
    while (!terminal.held.empty()) {
        auto &[kind, body] = terminal.held.front();
        steps.push_back({Step::Kind::Forward, record, id, std::move(body), std::move(kind)});
        terminal.held.pop_front();
    }
}

void TerminalIdentities::accept(const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source,
                                Clock::time_point now, std::vector<Step> &steps) {
    if (!source) return;  // not a terminal's own event (an action's progress, say)
    const bool identifies = event.kind == "identified";
    if (!identifies && !forwardedKind(event.kind)) return;
    Terminal &terminal = terminalFor(source, now);

    if (identifies) {
        const std::string uid = event.body.value("uid", std::string());
        if (!terminal.id) resolve(source, terminal, terminalId(uid, terminal.address, source->id), steps);
        else steps.push_back({Step::Kind::Identified, source, *terminal.id, nullptr, ""});  // its text may be new
        return;
    }
    if (event.kind == "disconnect" && !terminal.id)
        resolve(source, terminal, distinctId(terminal.address, source->id), steps);
    if (terminal.id) steps.push_back({Step::Kind::Forward, source, *terminal.id, event.body, event.kind});
    else terminal.held.emplace_back(event.kind, event.body);
    if (event.kind == "disconnect") {
        steps.push_back({Step::Kind::Departed, source, *terminal.id, nullptr, ""});
        terminals_.erase(source);
    }
}

void TerminalIdentities::expire(Clock::time_point now, std::vector<Step> &steps) {
    for (auto &[record, terminal] : terminals_)
        if (!terminal.id && terminal.deadline <= now) resolve(record, terminal, distinctId(terminal.address, record->id), steps);
}

std::optional<TerminalIdentities::Clock::time_point> TerminalIdentities::nextDeadline() const {
    std::optional<Clock::time_point> soonest;
    for (const auto &[record, terminal] : terminals_)
        if (!terminal.id && (!soonest || terminal.deadline < *soonest)) soonest = terminal.deadline;
    return soonest;
}

void TerminalIdentities::resolveAll(std::vector<Step> &steps) {
    for (auto &[record, terminal] : terminals_)
        if (!terminal.id) resolve(record, terminal, distinctId(terminal.address, record->id), steps);
}

std::size_t TerminalIdentities::waitingEvents() const {
    std::size_t count = 0;
    for (const auto &[record, terminal] : terminals_) count += terminal.held.size();
    return count;
}

}  // namespace ks318::bridge
