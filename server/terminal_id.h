// Terminal ids: the name of one connection that never moves. Numbers are
// positions and close up when a terminal leaves; an id is given once, when the
// connection is accepted, and never given again while the library is loaded
// (a stop and a new start go on counting).
#pragma once

#include <cstdint>

namespace ks318 {

using TerminalId = std::int32_t;

// Ids start above every terminal number (a number is at most 1024), so a number
// passed for an id, or an id for a number, names nothing instead of another terminal.
inline constexpr TerminalId kFirstTerminalId = 65536;

// The next id; 0 once every positive 32-bit value from kFirstTerminalId up has
// been given (the connection is then not served).
TerminalId nextTerminalId();

}  // namespace ks318
