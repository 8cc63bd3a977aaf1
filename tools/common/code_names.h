// Short names of the frame codes that travel between the server and a
// terminal, and of the data notifications, for the tools' one-line reports.
#pragma once

#include <cstdint>
#include <string>

namespace ks318::tools {

// The code's name ("text", "volume-set", "key" ...), or "code-N" for a code
// the system does not use.
std::string codeName(std::uint16_t code);

// The name of a data notification code. Differs from codeName where the
// notification carries another code than the frame: 171 also reports the
// display time (42) and 161 the serial status (162).
std::string notificationName(std::uint32_t code);

// True for a code the system uses (one codeName has a name for).
bool isProtocolCode(std::uint16_t code);

// The code a name stands for (either kind of name, or the number itself).
bool codeFromName(const std::string &name, std::uint16_t &code);

}  // namespace ks318::tools
