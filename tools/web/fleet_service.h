// Fleet mode (--fleet URL): the dashboard on the fleet's MQTT broker as well as
// on its own terminals. Follows every site's state into a FleetView, passes the
// bridges' events and state changes to the event streams (kinds "fleet" and
// "fleet-state"), and sends actions to a site's terminals as commands.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/shop/event_hub.h"
#include "tools/fleet/broker_address.h"
#include "tools/web/fleet_commands.h"
#include "tools/web/fleet_connection.h"
#include "tools/web/fleet_view.h"
#include "tools/shop/uploads.h"

namespace ks318::web {

struct FleetOptions {
    fleet::BrokerAddress broker;
    std::optional<fleet::Credentials> credentials;
    std::string caFile;  // for mqtts://; empty: the system's certificates
    std::chrono::milliseconds answerWait{15000};
};

class FleetService {
public:
    FleetService(FleetOptions options, EventHub &events, UploadStore &uploads);
    // Stops first: no answer or message reaches a part already gone.
    ~FleetService() { stop(); }
    FleetService(const FleetService &) = delete;
    FleetService &operator=(const FleetService &) = delete;

    // False, with `error`, when the client cannot be set up at all.
    bool start(std::string &error);
    // Ends waits for answers at once, then leaves the broker.
    void stop();

    const std::string &url() const { return connection_.broker().url; }
    // GET /api/fleet: {"broker","connected","sites":[...]}
    nlohmann::json status() const;
    // POST /api/fleet/actions (see FleetCommands::run).
    nlohmann::json act(const nlohmann::json &request) { return commands_.run(request); }

private:
    void received(std::string_view topic, std::string_view payload);

    EventHub &events_;
    FleetView view_;
    FleetConnection connection_;
    FleetCommands commands_;
};

}  // namespace ks318::web
