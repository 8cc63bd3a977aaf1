#include "tools/console/commands.h"

namespace ks318::tools {

std::string call(const char *exportName, std::int32_t terminal) {
    return std::string(exportName) + "(" + std::to_string(terminal) + ")";
}

std::string call(const char *exportName, std::int32_t terminal, std::int32_t value) {
    return std::string(exportName) + "(" + std::to_string(terminal) + ", " + std::to_string(value) + ")";
}

bool awaitAnswer(Console &console, const std::string &command, std::int32_t terminal, std::uint32_t code,
                 std::uint64_t mark) {
    if (console.waitPast(code, mark)) return true;
    return console.fail(command + ": no answer (notification " + std::to_string(code) + ") from terminal " +
                        std::to_string(terminal) + " within " + std::to_string(console.timeoutMs()) + " ms");
}

const CommandTable &consoleCommands() {
    static const CommandTable table = [] {
        CommandTable built;
        addSessionCommands(built);
        addTerminalCommands(built);
        addScreenCommands(built);
        addFileCommands(built);
        return built;
    }();
    return table;
}

}  // namespace ks318::tools
