#include "tools/web/fleet_service.h"

namespace ks318::web {

FleetService::FleetService(FleetOptions options, EventHub &events, UploadStore &uploads)
    : events_(events),
      connection_(std::move(options.broker), std::move(options.credentials), std::move(options.caFile),
                  FleetConnection::Handlers{
                      [this](std::string_view topic, std::string_view payload) { received(topic, payload); },
                      [this](std::string_view correlation, std::string_view payload) {
                          commands_.answered(correlation, payload);
                      },
                      [this](bool connected) {
                          events_.publish("fleet-state", {}, {{"broker", url()}, {"connected", connected}});
                      }}),
      commands_(connection_, view_, uploads, options.answerWait) {}

bool FleetService::start(std::string &error) { return connection_.start(error); }

void FleetService::stop() {
    commands_.release();
    connection_.stop();
}

nlohmann::json FleetService::status() const {
    return {{"broker", url()}, {"connected", connection_.connected()}, {"sites", view_.sitesJson()}};
}

void FleetService::received(std::string_view topic, std::string_view payload) {
    for (FleetView::Change &change : view_.apply(topic, payload))
        events_.publish(change.kind, {}, std::move(change.fields));
}

}  // namespace ks318::web
