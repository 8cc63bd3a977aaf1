// Carries out one command on this site's terminals with the dashboard's action
// runner, and makes its answer: the runner's results, each with the terminal's
// id, or an error for a command refused as a whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/fleet/topics.h"
#include "tools/bridge/terminal_states.h"
#include "tools/shop/actions.h"
#include "tools/shop/uploads.h"

namespace ks318::bridge {

class CommandRunner {
public:
    CommandRunner(const fleet::SiteTopics &topics, web::ActionRunner &actions, web::UploadStore &uploads,
                  const TerminalStates &states, TerminalStates::NumberOf numberOf, std::size_t maxPayload);

    // {"site","action","results":[...]} or {"site","action","error"}; never throws
    // for anything the command holds. A command past its payload's "deadline" or
    // past `expiry` (its MQTT message expiry) is refused, never carried out.
    nlohmann::json run(const fleet::SiteTopics::Command &command, std::string_view payload,
                       std::optional<std::chrono::steady_clock::time_point> expiry = std::nullopt);

private:
    const fleet::SiteTopics &topics_;
    web::ActionRunner &actions_;
    web::UploadStore &uploads_;
    const TerminalStates &states_;
    const TerminalStates::NumberOf numberOf_;
    const std::size_t maxPayload_;
};

}  // namespace ks318::bridge
