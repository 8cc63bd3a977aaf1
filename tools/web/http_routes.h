// The HTTP side: the page, the read API, the event stream and the write API,
// with the access token checked on every request that changes anything and
// every error answered as {"error": reason}.
#pragma once

#include <cstdint>
#include <string>

#include <httplib.h>

#include "tools/shop/actions.h"
#include "tools/shop/event_hub.h"
#include "tools/web/fleet_service.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"

namespace ks318::web {

struct WebContext {
    TerminalRegistry &registry;
    EventHub &events;
    UploadStore &uploads;
    ActionRunner &actions;
    std::string token;
    int terminalPort = 0;
    FleetService *fleet = nullptr;  // null unless in fleet mode
};

// Streams held at once; the HTTP worker pool is larger, so that requests are
// still served while this many streams each hold a worker.
constexpr std::size_t kMaxEventStreams = 160;
constexpr std::size_t kHttpWorkers = kMaxEventStreams + 32;
// The largest body an action may have.
constexpr std::size_t kMaxActionBody = 1 << 20;

void installRoutes(httplib::Server &server, WebContext &context);

}  // namespace ks318::web
