#include "api/terminal_addressing.h"

namespace ks318::api {
namespace {
thread_local Addressing addressing = Addressing::ByNumber;
}  // namespace

Addressing threadAddressing() { return addressing; }
void setThreadAddressing(Addressing mode) { addressing = mode; }

TerminalRef findNamed(const TerminalTable &table, std::int32_t name) {
    if (addressing == Addressing::ById) return table.findById(name);
    return name < 1 ? nullptr : table.get(name);
}

std::int32_t nameOf(const TTerminal &terminal, std::int32_t number) {
    return addressing == Addressing::ById ? terminal.id() : number;
}

std::string describeNamed(std::int32_t name) {
    return (addressing == Addressing::ById ? "terminal id " : "terminal ") + std::to_string(name);
}

}  // namespace ks318::api
