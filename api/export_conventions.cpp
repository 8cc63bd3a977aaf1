#include "api/export_conventions.h"

#include "server/outbound.h"

namespace ks318::api {

TerminalRef addressTerminal(std::int32_t number, Requires requirement, Verdict &verdict) {
    verdict = Verdict::Rejected;
    if (number < 0) return nullptr;
    TerminalTable &table = globalServer().terminals();
    if (table.empty()) return nullptr;
    TerminalRef terminal = table.get(number);
    if (!terminal) return nullptr;
    if (requirement == Requires::Model320 && terminal->modelNumber() != kModelWithNewerCommands) return nullptr;
    if (requirement == Requires::Version32 && terminal->terminalVersion() < kVersionWithNewerCommands) {
        verdict = Verdict::VersionTooLow;
        return nullptr;
    }
    verdict = Verdict::Accepted;
    return terminal;
}

int sendGateLimitMs() { return globalServer().limits().sendGateLimitMs; }

std::int32_t sendCommand(TTerminal &terminal, std::uint16_t code, const void *payload, int count) {
    return sendGatedFrame(terminal, sendGateLimitMs(), code, payload, count);
}

std::int32_t sendCommandUngated(TTerminal &terminal, std::uint16_t code, const void *payload, int count) {
    return sendUngatedFrame(terminal, code, payload, count);
}

}  // namespace ks318::api
