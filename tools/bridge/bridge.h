// The bridge as a whole: the site's terminals (the library's server with the
// dashboard's registry), the broker connection, the outbox and the forwarder
// for events, and the command worker. start() brings it up; stop() takes it
// down in order: commands end, the terminals are dropped (each published as
// gone), the outbox is sent for a few seconds at most, the site says it is
// offline, and the connection closes cleanly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "tools/fleet/broker_address.h"
#include "tools/bridge/command_queue.h"
#include "tools/bridge/command_runner.h"
#include "tools/bridge/event_forwarder.h"
#include "tools/bridge/mqtt_link.h"
#include "tools/bridge/outbox.h"
#include "tools/fleet/topics.h"
#include "tools/bridge/terminal_states.h"
#include "tools/shop/actions.h"
#include "tools/shop/event_hub.h"
#include "tools/shop/file_transfers.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"

namespace ks318::bridge {

struct BridgeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct BridgeSettings {
    std::string site;
    fleet::BrokerAddress broker;
    std::optional<fleet::Credentials> credentials;
    std::string cafile;
    std::string clientId;
    std::uint32_t sessionExpiry = 86400;
    std::uint32_t departedExpiry = 86400;  // how long the broker keeps a departed terminal's state
    int terminalPort = 16510;
    std::string bind;
    std::filesystem::path queueDirectory;
    std::size_t queueLimit = 100000;
    std::size_t maxPayload = 16777216;
    std::filesystem::path uploadDirectory;  // private, made by the caller
};

class Bridge {
public:
    // Opens the outbox and prepares the connection; throws BridgeError (or
    // OutboxError, LinkError) when either cannot be used.
    explicit Bridge(BridgeSettings settings);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // Connects to the broker and serves terminals; the port they connect to.
    int start();
    void stop();

private:
    void connected();
    void received(const IncomingMessage &message);
    void answer(const std::optional<std::string> &responseTopic, const std::optional<std::string> &correlation,
                const nlohmann::json &body);

    const BridgeSettings settings_;
    const fleet::SiteTopics topics_;
    const std::int64_t boot_;

    web::EventHub events_;
    web::TerminalRegistry registry_;
    web::UploadStore uploads_;
    web::FileTransfers transfers_;
    web::ActionRunner actions_;

    std::unique_ptr<Outbox> outbox_;
    std::unique_ptr<MqttLink> link_;
    std::unique_ptr<TerminalStates> states_;
    std::unique_ptr<EventForwarder> forwarder_;
    std::unique_ptr<CommandRunner> runner_;
    std::unique_ptr<CommandQueue> commands_;
    bool started_ = false;
};

}  // namespace ks318::bridge
