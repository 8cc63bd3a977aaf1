#include "server/terminal_table.h"

#include <algorithm>

#include "port/clock.h"

namespace ks318 {

int TerminalTable::add(TerminalRef terminal) {
    SpinGuard guard(termLock_);
    if (static_cast<int>(nodes_.size() + admitted_.size()) >= capacity_) return 0;
    terminal->setListed(true);
    nodes_.push_back(std::move(terminal));
    return static_cast<int>(nodes_.size());
}

bool TerminalTable::admit(TerminalRef terminal, int displaceAfterMs) {
    TerminalRef displaced;
    {
        SpinGuard guard(termLock_);
        if (static_cast<int>(nodes_.size() + admitted_.size()) >= capacity_) {
            const std::uint64_t now = port::tickMs();
            if (admitted_.empty() || now - admitted_.front().sinceMs < static_cast<std::uint64_t>(displaceAfterMs))
                return false;
            displaced = std::move(admitted_.front().terminal);
            admitted_.erase(admitted_.begin());
        }
        terminal->setListed(true);
        admitted_.push_back(Admitted{std::move(terminal), port::tickMs()});
    }
    if (displaced) release({std::move(displaced)});
    return true;
}

int TerminalTable::promote(const TTerminal *terminal) {
    SpinGuard guard(termLock_);
    auto it = std::find_if(admitted_.begin(), admitted_.end(),
                           [&](const Admitted &entry) { return entry.terminal.get() == terminal; });
    if (it == admitted_.end()) return 0;
    nodes_.push_back(std::move(it->terminal));
    admitted_.erase(it);
    return static_cast<int>(nodes_.size());
}

std::vector<TerminalRef> TerminalTable::everyConnection() const {
    SpinGuard guard(termLock_);
    std::vector<TerminalRef> all = nodes_;
    for (const Admitted &entry : admitted_) all.push_back(entry.terminal);
    return all;
}

TerminalRef TerminalTable::get(int number) const {
    SpinGuard guard(termLock_);
    if (number < 1 || number > static_cast<int>(nodes_.size())) return nullptr;
    return nodes_[static_cast<std::size_t>(number - 1)];
}

TerminalRef TerminalTable::findByHandle(port::SocketHandle handle) const {
    if (handle == 0) return nullptr;
    SpinGuard guard(termLock_);
    auto it = std::find_if(nodes_.begin(), nodes_.end(),
                           [&](const TerminalRef &node) { return node->socket() == handle; });
    return it != nodes_.end() ? *it : nullptr;
}

TerminalRef TerminalTable::findById(TerminalId id) const {
    if (id <= 0) return nullptr;
    SpinGuard guard(termLock_);
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const TerminalRef &node) { return node->id() == id; });
    return it != nodes_.end() ? *it : nullptr;
}

bool TerminalTable::contains(const TTerminal *terminal) const {
    SpinGuard guard(termLock_);
    return std::any_of(nodes_.begin(), nodes_.end(),
                       [&](const TerminalRef &node) { return node.get() == terminal; });
}

int TerminalTable::numberOf(const TTerminal *terminal) const {
    SpinGuard guard(termLock_);
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const TerminalRef &node) { return node.get() == terminal; });
    return it != nodes_.end() ? static_cast<int>(it - nodes_.begin()) + 1 : 0;
}

bool TerminalTable::removeByHandle(port::SocketHandle handle) {
    if (handle <= 0) return false;
    bool first = true;
    return removeIf([&](const TTerminal &node) {
               bool match = first && node.socket() == handle;
               if (match) first = false;
               return match;
           }) > 0;
}

bool TerminalTable::removeByNumber(int number) {
    TerminalRef removed;
    {
        SpinGuard guard(termLock_);
        if (number < 1 || number > static_cast<int>(nodes_.size())) return false;
        auto it = nodes_.begin() + (number - 1);
        removed = std::move(*it);
        nodes_.erase(it);
    }
    release({std::move(removed)});
    return true;
}

bool TerminalTable::remove(const TTerminal *terminal) {
    return removeIf([&](const TTerminal &node) { return &node == terminal; }) > 0;
}

void TerminalTable::clear() {
    std::vector<TerminalRef> removed;
    {
        SpinGuard guard(termLock_);
        removed.swap(nodes_);
        for (Admitted &entry : admitted_) removed.push_back(std::move(entry.terminal));
        admitted_.clear();
    }
    release(std::move(removed));
}

bool TerminalTable::empty() const {
    SpinGuard guard(termLock_);
    return nodes_.empty();
}

int TerminalTable::count() const {
    SpinGuard guard(termLock_);
    return static_cast<int>(nodes_.size());
}

std::vector<TerminalRef> TerminalTable::snapshot() const {
    SpinGuard guard(termLock_);
    return nodes_;
}

// Outside the gate: wake each removed terminal's connection thread, and let the
// records go (the last holder's release closes the socket).
void TerminalTable::release(std::vector<TerminalRef> removed) {
    for (const TerminalRef &terminal : removed) {
        terminal->setListed(false);
        terminal->shutdownConnection();
    }
}

}  // namespace ks318
