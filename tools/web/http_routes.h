// The HTTP side: the page, the read API, the event stream and the write API.
// Before any body is read, a request's Host, its access token (every /api/
// request), its path, its method and the size of its body are checked; every
// error is answered as {"error": reason}.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <httplib.h>

#include "tools/shop/actions.h"
#include "tools/shop/event_hub.h"
#include "tools/web/fleet_service.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"
#include "tools/web/access_policy.h"
#include "tools/web/device_queries.h"

namespace ks318::web {

struct WebContext {
    TerminalRegistry &registry;
    EventHub &events;
    UploadStore &uploads;
    ActionRunner &actions;
    AccessPolicy access;
    int terminalPort = 0;
    FleetService *fleet = nullptr;  // null unless in fleet mode
    bool showCardNumbers = false;   // card events whole, not masked
    std::chrono::seconds streamKeepAlive{15};
    DeviceQueries deviceQueries{};
};

// Streams held at once; the HTTP worker pool is larger, so that requests are
// still served while this many streams each hold a worker.
constexpr std::size_t kMaxEventStreams = 160;
constexpr std::size_t kHttpWorkers = kMaxEventStreams + 32;
// The largest body an action may have.
constexpr std::size_t kMaxActionBody = 1 << 20;
// An event stream's socket send buffer (the kernel doubles it): about 1000 events.
constexpr int kStreamSendBuffer = 64 * 1024;
// How often an event stream looks whether its reader is still there.
constexpr auto kStreamReaderCheck = std::chrono::milliseconds(250);

void installRoutes(httplib::Server &server, WebContext &context);

}  // namespace ks318::web
