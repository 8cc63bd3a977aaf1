#include "server/notified_terminal.h"

#include <algorithm>

namespace ks318 {
namespace {
thread_local TerminalId handlingId = 0;
}  // namespace

NotifiedTerminal::Scope::Scope(TerminalId id) : previous_(handlingId) { handlingId = id; }
NotifiedTerminal::Scope::~Scope() { handlingId = previous_; }

TerminalId NotifiedTerminal::onThisThread() { return handlingId; }

void NotifiedTerminal::forgetLinks() {
    std::lock_guard lock(mutex_);
    journal_.clear();
}

// The window's queue hands posts over in the order they were made, so the
// oldest unclaimed post with these values is the one being handled, and every
// post before it has been handed over already (asked about or not).
TerminalId NotifiedTerminal::claimLink(std::uint32_t wParam, std::uint32_t lParam) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(journal_.begin(), journal_.end(),
                           [&](const Link &link) { return link.wParam == wParam && link.lParam == lParam; });
    if (it == journal_.end()) return 0;
    const TerminalId id = it->id;
    journal_.erase(journal_.begin(), it + 1);
    return id;
}

void NotifiedTerminal::dataSending(std::uint32_t handleWord, TerminalId id) {
    std::lock_guard lock(mutex_);
    sending_.push_back(Sending{handleWord, id});
}

void NotifiedTerminal::dataHandled(std::uint32_t handleWord, TerminalId id) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(sending_.begin(), sending_.end(),
                           [&](const Sending &entry) { return entry.handleWord == handleWord && entry.id == id; });
    if (it != sending_.end()) sending_.erase(it);
}

TerminalId NotifiedTerminal::dataSender(std::uint32_t handleWord) const {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(sending_.begin(), sending_.end(),
                           [&](const Sending &entry) { return entry.handleWord == handleWord; });
    return it != sending_.end() ? it->id : 0;
}

}  // namespace ks318
