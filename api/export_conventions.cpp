#include "api/export_conventions.h"

#include <string>

#include "api/terminal_addressing.h"
#include "server/outbound.h"

namespace ks318::api {

TerminalRef addressTerminal(std::int32_t number, Requires requirement, Verdict &verdict) {
    verdict = Verdict::Rejected;
    TerminalRef terminal = findNamed(globalServer().terminals(), number);
    if (!terminal) {
        port::noteFailure("no " + describeNamed(number));
        return nullptr;
    }
    if (requirement == Requires::Model320 && terminal->modelNumber() != kModelWithNewerCommands) {
        port::noteFailure(describeNamed(number) + " is model " + std::to_string(terminal->modelNumber()) +
                          "; only model " + std::to_string(kModelWithNewerCommands) + " takes this command");
        return nullptr;
    }
    if (requirement == Requires::Version32 && terminal->terminalVersion() < kVersionWithNewerCommands) {
        port::noteFailure(describeNamed(number) + " has terminal version " +
                          std::to_string(terminal->terminalVersion()) + "; this needs version " +
                          std::to_string(kVersionWithNewerCommands) + " or above");
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
