// Asking a terminal for a file (code 97) and collecting what it sent back.
#pragma once

#include <cstdint>

#include "server/terminal.h"

namespace ks318::media {

inline constexpr std::uint16_t kCodeFileRequest = 97;

// Sends the request frame (the name in a 128-byte field) under the send gate.
// 1 when it went out whole; -1 when the write failed; -2 when the send gate
// stayed busy for gateLimitMs; 0 for a null name or one of 128 characters or more.
std::int32_t requestFile(TTerminal &terminal, int gateLimitMs, const char *name);

// Hands the pending file to the host: its name (with its zero, at most 128
// bytes), its size and, when bytes are held, the bytes; the file then counts as
// collected. 1 when something was pending (also a name without bytes), 0 when it
// had been collected already (empty name and size 0 then). A null output is not
// written. Waits while a reception is under way.
std::int32_t collectPendingFile(TTerminal &terminal, char *name, std::int32_t *size, void *data);

}  // namespace ks318::media
