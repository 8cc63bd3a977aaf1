// Configuration files on a terminal: a file sent under a fixed name, followed
// by the reload command (code 117) that makes the terminal take it up.
#pragma once

#include <cstdint>

#include "server/terminal.h"

namespace ks318::media {

inline constexpr std::uint16_t kCodeReload = 117;

// Sends the local file as `destination` and, when file bytes went out (result
// above 0), the reload command with value 0. The reload's own outcome does not
// change the result, which is that of the file transfer: an empty file (0) or a
// failed transfer is not followed by a reload.
std::int32_t sendConfigurationFile(TTerminal &terminal, int gateLimitMs, const char *path, const char *destination);

}  // namespace ks318::media
