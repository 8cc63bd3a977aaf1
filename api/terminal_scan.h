// The walk of the exports that take no terminal number: terminals are offered
// one at a time from number 1 up, and the first that yields something ends it.
#pragma once

#include <cstdint>

#include "api/export_conventions.h"
#include "api/terminal_addressing.h"
#include "server/server.h"

namespace ks318::api {

// Offers each terminal to take(TTerminal &) in number order; returns the number
// (in the calling thread's id mode: the id) of the first for which it returned
// true, 0 when none did (or anything was
// thrown: nothing thrown reaches the host).
template <class Take>
std::int32_t scanTerminals(Take &&take) noexcept {
    return atBoundary(std::int32_t{0}, [&]() -> std::int32_t {
        TerminalTable &table = globalServer().terminals();
        for (std::int32_t number = 1;; ++number) {
            TerminalRef terminal = table.get(number);
            if (!terminal) return 0;
            if (take(*terminal)) return nameOf(*terminal, number);
        }
    });
}

}  // namespace ks318::api
