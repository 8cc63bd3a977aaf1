// GET /api/terminals/{n}/device: asks the terminal for its configuration, its
// wifi record and the status of both serial ports, and waits for the answers
// (at most 5 s in all). What did not answer is listed as unanswered.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "tools/shop/terminal_registry.h"

namespace ks318::web {

// Asks the terminal of the record, by its id.
nlohmann::json queryDevice(const std::shared_ptr<TerminalRecord> &record);

}  // namespace ks318::web
