// The lines a person (or a script) types to the simulated terminal: input to
// inject (keys, serial data, card reads), waits that make scripted sessions
// deterministic, and the session's own commands. A line may start with @N to
// address terminal N of this process alone; otherwise it is for every one.
#pragma once

#include <optional>
#include <string>

#include "sim/wire.h"

namespace ks318::tools {

struct TermCommand {
    enum class Kind {
        Key, Keys, Serial, Card, Sensor, Audio, Frame, Screen,
        WaitIdentified, WaitFrame, WaitDisconnected, Sleep, Timeout, Disconnect, Help, Quit
    };
    Kind kind = Kind::Help;
    std::optional<int> terminal;  // 1-based; nothing: every terminal
    std::int64_t number = 0;      // key, port, code, status, milliseconds
    std::int64_t count = 1;       // wait frame: how many in all
    std::string text;             // serial data, keys, first card text, screen path
    std::string second;           // second card text
    sim::Bytes bytes;             // frame payload
};

struct TermInput {
    std::optional<TermCommand> command;  // nothing for an empty line or an error
    std::string error;                   // one line, empty when the line was fine
};

// `terminals`: how many the process plays (for checking @N).
TermInput parseTermInput(const std::string &line, int terminals);

// Every command with its arguments and a line of help.
std::string termInputHelp();

}  // namespace ks318::tools
