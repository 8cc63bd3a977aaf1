// How the calling thread names terminals to the exports: by number (the
// position, as every export was written) or by id (the connection's name that
// never moves). The mode is the thread's own, so one host thread can switch to
// ids without changing what any other caller's numbers mean.
#pragma once

#include <cstdint>
#include <string>

#include "server/terminal_table.h"

namespace ks318::api {

enum class Addressing : std::int32_t { ByNumber = 0, ById = 1 };

Addressing threadAddressing();
void setThreadAddressing(Addressing mode);

// The terminal the calling thread names; null when it names none.
TerminalRef findNamed(const TerminalTable &table, std::int32_t name);

// How the calling thread names a terminal found at `number`: that number, or its id.
std::int32_t nameOf(const TTerminal &terminal, std::int32_t number);

// "terminal 3" or "terminal id 65537", for failure reasons.
std::string describeNamed(std::int32_t name);

}  // namespace ks318::api
