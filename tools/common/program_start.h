// What the long-running programs (ks318-web, ks318-bridge) do before they start
// any thread: take the stop signals on one thread of their choosing, and make a
// private folder for the files people or commands send them.
#pragma once

#include <signal.h>

#include <filesystem>
#include <optional>
#include <string>

namespace ks318::tools {

// Blocks SIGINT and SIGTERM in the calling thread, so that every thread started
// after (the library's too) inherits the mask and one thread can sigwait() for
// them on the set returned; SIGPIPE is ignored.
sigset_t blockStopSignals();

// A new folder readable by this user alone, in the system's temporary folder,
// named `<prefix>-XXXXXX`; nothing when it cannot be made.
std::optional<std::filesystem::path> makePrivateDirectory(const std::string &prefix);

}  // namespace ks318::tools
