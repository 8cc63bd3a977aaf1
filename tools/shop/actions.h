// POST /api/actions: one action carried out on a set of terminals, on the HTTP
// worker thread that received it (never on a terminal's notification thread).
// Each terminal's outcome is the library's result, a status in words and the
// library's reason; screen frames that went out are applied to the mirrors.
// Every command names its terminal by id, so it reaches the terminal chosen or
// fails, however many others leave while the action runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/shop/event_hub.h"
#include "tools/shop/file_transfers.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"

namespace ks318::web {

// A request that cannot be carried out at all: its HTTP status and reason.
struct ActionRefused {
    int status;
    std::string reason;
};

class ActionRunner {
public:
    // `mirrorFonts`: where fonts sent to terminals are kept for the mirrors (see
    // TerminalRegistry::setMirrorFontDirectory).
    ActionRunner(TerminalRegistry &registry, UploadStore &uploads, FileTransfers &transfers, EventHub &events,
                 std::filesystem::path mirrorFonts)
        : registry_(registry), uploads_(uploads), transfers_(transfers), events_(events),
          mirrorFonts_(std::move(mirrorFonts)) {}

    // The response's body; throws ActionRefused for a malformed or unknown request.
    nlohmann::json run(const nlohmann::json &request);
    // The same for the terminals of these records, each reached by its id (a
    // program that names terminals otherwise, as the fleet bridge does): `request`
    // has no "targets"; the results come in the order of `terminals`.
    nlohmann::json run(const nlohmann::json &request, const std::vector<std::shared_ptr<TerminalRecord>> &terminals);

private:
    // `given`: the terminals, or null to take them from the request's "targets".
    nlohmann::json carryOut(const nlohmann::json &request, const std::vector<std::shared_ptr<TerminalRecord>> *given);

    TerminalRegistry &registry_;
    UploadStore &uploads_;
    FileTransfers &transfers_;
    EventHub &events_;
    const std::filesystem::path mirrorFonts_;
    std::atomic<std::uint64_t> nextId_{1};
};

// The status of a library result in words: "sent", "busy", "refused by model",
// "no terminal" or "failed".
std::string statusOf(std::int32_t result, const std::string &reason);

}  // namespace ks318::web
