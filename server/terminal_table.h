// The terminal table: every connected terminal in order of arrival. A terminal's
// number is its 1-based position; numbers close up when a terminal leaves.
//
// A connection still in its handshake is admitted but not yet numbered: it
// counts against the capacity and is woken by a stop, but no lookup, listing or
// export finds it, so nothing the host sends can reach it before its greeting.
// It is numbered (appended) when its handshake is through.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/socket.h"
#include "server/gates.h"
#include "server/terminal.h"

namespace ks318 {

using TerminalRef = std::shared_ptr<TTerminal>;

class TerminalTable {
public:
    static constexpr int kDefaultCapacity = 1024;

    explicit TerminalTable(int capacity = kDefaultCapacity) : capacity_(capacity) {}

    // Appends the terminal; its number, or 0 when the table is full.
    int add(TerminalRef terminal);

    // Admits a connection that has yet to go through its handshake; false when
    // the table is full. At the capacity, the connection that has waited longest
    // in its handshake gives up its place when it has waited `displaceAfterMs`
    // or more (silent connections cannot keep a terminal out); it is woken and ends.
    bool admit(TerminalRef terminal, int displaceAfterMs);
    // Numbers an admitted connection, appending it; its number, or 0 when it is
    // no longer admitted (removed meanwhile: a stop, or displaced).
    int promote(const TTerminal *terminal);
    // Every connection, numbered or in its handshake.
    std::vector<TerminalRef> everyConnection() const;

    // The terminal at a number; null for a number below 1 or past the last.
    TerminalRef get(int number) const;
    // The first terminal whose socket is the handle; null for handle 0 or none.
    TerminalRef findByHandle(port::SocketHandle handle) const;
    // The terminal with an id; null for id 0 or none (a gone id names nothing).
    TerminalRef findById(TerminalId id) const;
    bool contains(const TTerminal *terminal) const;
    // The terminal's number now; 0 when it is not in the table.
    int numberOf(const TTerminal *terminal) const;

    // Removals take the terminal out of the table and wake its connection thread;
    // the record itself goes when its last user lets go of it.
    bool removeByHandle(port::SocketHandle handle);
    bool removeByNumber(int number);
    bool remove(const TTerminal *terminal);
    // Removes every terminal for which `drop` holds, in one walk.
    template <class Predicate>
    int removeIf(Predicate &&drop);
    void clear();

    bool empty() const;
    int count() const;
    std::vector<TerminalRef> snapshot() const;

private:
    struct Admitted {
        TerminalRef terminal;
        std::uint64_t sinceMs;
    };

    void release(std::vector<TerminalRef> removed);

    mutable SpinGate termLock_;
    std::vector<TerminalRef> nodes_;
    std::vector<Admitted> admitted_;  // in their handshake, oldest first
    const int capacity_;
};

template <class Predicate>
int TerminalTable::removeIf(Predicate &&drop) {
    std::vector<TerminalRef> removed;
    {
        SpinGuard guard(termLock_);
        for (auto it = nodes_.begin(); it != nodes_.end();) {
            if (drop(**it)) {
                removed.push_back(std::move(*it));
                it = nodes_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = admitted_.begin(); it != admitted_.end();) {
            if (drop(*it->terminal)) {
                removed.push_back(std::move(it->terminal));
                it = admitted_.erase(it);
            } else {
                ++it;
            }
        }
    }
    int count = static_cast<int>(removed.size());
    release(std::move(removed));
    return count;
}

}  // namespace ks318
