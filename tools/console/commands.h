// The console's command groups, each adding its commands to the table, and
// the small pieces they share.
#pragma once

#include <cstdint>
#include <string>

#include "tools/console/command_table.h"
#include "tools/console/console.h"

namespace ks318::tools {

void addSessionCommands(CommandTable &table);
void addTerminalCommands(CommandTable &table);
void addScreenCommands(CommandTable &table);
void addFileCommands(CommandTable &table);

// "kq_export(3)" or "kq_export(3, 10)": how a call is shown.
std::string call(const char *exportName, std::int32_t terminal);
std::string call(const char *exportName, std::int32_t terminal, std::int32_t value);

// After a request went out: waits for its answer's notification (which prints
// what came) past `mark`; false with an error line when none came in time.
bool awaitAnswer(Console &console, const std::string &command, std::int32_t terminal, std::uint32_t code,
                 std::uint64_t mark);

}  // namespace ks318::tools
