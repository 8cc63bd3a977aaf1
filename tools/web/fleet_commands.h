// POST /api/fleet/actions: one of the dashboard's actions sent to a site's
// terminals as MQTT commands, one per target topic (the site's "all" topic, or
// each terminal's own), each with its response topic and correlation data; the
// bridges' answers are waited for (bounded) and put together.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/web/fleet_connection.h"
#include "tools/web/fleet_view.h"
#include "tools/shop/uploads.h"

namespace ks318::web {

class FleetCommands {
public:
    static constexpr std::size_t kMaxTargets = 1024;
    // An answer larger than this is none (a site's answer for every terminal is far smaller).
    static constexpr std::size_t kMaxAnswer = 8 << 20;
    // A bridge finishes a command it started before its deadline within this
    // (an asking action waits 5 s), so the deadline is this much before the
    // answer wait ends: a command not answered in time was not carried out.
    static constexpr std::chrono::milliseconds kCarryOutBound{6000};

    FleetCommands(FleetConnection &connection, const FleetView &view, UploadStore &uploads,
                  std::chrono::milliseconds answerWait)
        : connection_(connection), view_(view), uploads_(uploads), answerWait_(answerWait) {}

    // {"site","action","results":[...],"unanswered":[topic...]}; throws ActionRefused
    // for a request that is malformed (400), names an unknown site or upload (404),
    // is too large for MQTT (413), when a bridge refuses the command (400), or when
    // the broker is not connected (503).
    nlohmann::json run(const nlohmann::json &request);

    // An answer from the broker (the connection's thread).
    void answered(std::string_view correlation, std::string_view payload);

    // Every wait ends now with what has come (the program stops).
    void release();

private:
    struct Pending {
        std::optional<std::string> payload;
    };

    FleetConnection &connection_;
    const FleetView &view_;
    UploadStore &uploads_;
    const std::chrono::milliseconds answerWait_;

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<std::string, Pending> pending_;  // by correlation data
    bool released_ = false;
};

}  // namespace ks318::web
