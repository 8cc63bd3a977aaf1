// What the bridge tells its operator on standard error, one whole line at a time
// whichever thread says it.
#pragma once

#include <string>

namespace ks318::bridge {

void printNote(const std::string &text);  // "ks318-bridge: <text>"

}  // namespace ks318::bridge
