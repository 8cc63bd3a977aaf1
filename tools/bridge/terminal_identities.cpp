#include "tools/bridge/terminal_identities.h"

#include <algorithm>
#include <array>

#include "tools/fleet/topics.h"

namespace ks318::bridge {

bool forwardedKind(const std::string &kind) {
    static const std::array<const char *, 7> kKinds = {"connect", "disconnect", "key", "card", "serial", "answer", "file"};
    return std::any_of(kKinds.begin(), kKinds.end(), [&](const char *known) { return kind == known; });
}

std::string terminalId(const std::string &uid, const std::string &address) {
    const bool allZero = std::all_of(uid.begin(), uid.end(), [](char c) { return c == '0' || c == ':'; });
    if (uid.empty() || allZero || !fleet::validTerminalId(uid)) return address;
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
        if (!terminal.id) resolve(source, terminal, terminalId(uid, terminal.address), steps);
        else steps.push_back({Step::Kind::Identified, source, *terminal.id, nullptr, ""});  // its text may be new
        return;
    }
    if (event.kind == "disconnect" && !terminal.id) resolve(source, terminal, terminal.address, steps);
    if (terminal.id) steps.push_back({Step::Kind::Forward, source, *terminal.id, event.body, event.kind});
    else terminal.held.emplace_back(event.kind, event.body);
    if (event.kind == "disconnect") {
        steps.push_back({Step::Kind::Departed, source, *terminal.id, nullptr, ""});
        terminals_.erase(source);
    }
}

void TerminalIdentities::expire(Clock::time_point now, std::vector<Step> &steps) {
    for (auto &[record, terminal] : terminals_)
        if (!terminal.id && terminal.deadline <= now) resolve(record, terminal, terminal.address, steps);
}

std::optional<TerminalIdentities::Clock::time_point> TerminalIdentities::nextDeadline() const {
    std::optional<Clock::time_point> soonest;
    for (const auto &[record, terminal] : terminals_)
        if (!terminal.id && (!soonest || terminal.deadline < *soonest)) soonest = terminal.deadline;
    return soonest;
}

void TerminalIdentities::resolveAll(std::vector<Step> &steps) {
    for (auto &[record, terminal] : terminals_)
        if (!terminal.id) resolve(record, terminal, terminal.address, steps);
}

std::size_t TerminalIdentities::waitingEvents() const {
    std::size_t count = 0;
    for (const auto &[record, terminal] : terminals_) count += terminal.held.size();
    return count;
}

}  // namespace ks318::bridge
