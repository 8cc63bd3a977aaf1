#include "tools/bridge/bridge.h"

#include <algorithm>
#include <chrono>

#include <mqtt_protocol.h>
#include <mosquitto.h>

#include "ks318.h"
#include "tools/bridge/notes.h"
#include "tools/shop/json_shapes.h"

namespace ks318::bridge {
namespace {

constexpr std::uint32_t kConnectMessage = 0x0401;
constexpr std::uint32_t kDataMessage = 0x0402;
constexpr std::uint32_t kMqttLargestPacket = 268435455;
constexpr std::size_t kMaxWaitingCommands = 256;
constexpr std::size_t kMinWaitingCommandBytes = 64u << 20;
constexpr auto kDrainTime = std::chrono::seconds(4);
constexpr auto kGoodbyeTime = std::chrono::seconds(2);

}  // namespace

Bridge::Bridge(BridgeSettings settings)
    : settings_(std::move(settings)),
      topics_(settings_.site),
      boot_(web::millisecondsSinceEpoch()),
      registry_(events_),
      uploads_(settings_.uploadDirectory, settings_.maxPayload),
      transfers_(events_),
      actions_(registry_, uploads_, transfers_, events_, {}) {
    outbox_ = std::make_unique<Outbox>(Outbox::Settings{settings_.queueDirectory, settings_.queueLimit},
                                       [](const std::string &text) { printNote(text); });

    LinkSettings link;
    link.broker = settings_.broker;
    link.clientId = settings_.clientId;
    link.credentials = settings_.credentials;
    link.cafile = settings_.cafile;
    link.sessionExpiry = settings_.sessionExpiry;
    link.willTopic = topics_.online();
    // Commands somewhat past --max-payload still reach us, to be refused with an answer.
    link.maximumPacketSize = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kMqttLargestPacket, 2 * static_cast<std::uint64_t>(settings_.maxPayload) + 65536));
    MqttLink::Handlers handlers;
    handlers.connected = [this] { connected(); };
    handlers.disconnected = [this] { forwarder_->connectionChanged(); };
    handlers.acknowledged = [this](int messageId, int reason) {
        if (reason >= 0x80) printNote(std::string("the broker refused a message: ") + mosquitto_reason_string(reason));
        forwarder_->acknowledged(messageId);
    };
    handlers.message = [this](const IncomingMessage &message) { received(message); };
    link_ = std::make_unique<MqttLink>(std::move(link), std::move(handlers));

    const auto numberOf = [](std::int32_t terminalId) { return kq_terminalnumber(terminalId); };
    states_ = std::make_unique<TerminalStates>(
        topics_, numberOf, [this](const std::string &topic, const std::string &payload) { link_->publish(topic, payload, true); },
        [this](const std::string &topic, const std::string &payload) {
            link_->publishExpiring(topic, payload, settings_.departedExpiry);
        });
    forwarder_ = std::make_unique<EventForwarder>(topics_, boot_, *outbox_, *states_, *link_,
                                                  [](const std::string &text) { printNote(text); });
    runner_ = std::make_unique<CommandRunner>(topics_, actions_, uploads_, *states_, numberOf, settings_.maxPayload);
    commands_ = std::make_unique<CommandQueue>(kMaxWaitingCommands,
                                               std::max<std::size_t>(kMinWaitingCommandBytes, 2 * settings_.maxPayload));
}

Bridge::~Bridge() {
    stop();
    events_.setListener(nullptr);
}

int Bridge::start() {
    events_.setListener([this](const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source) {
        forwarder_->take(event, source);
    });
    // The first connection attempt comes before any thread of ours: when it fails,
    // libmosquitto 2.0.11 closes its socket twice, and a descriptor another thread
    // had just opened under that number would be closed with it.
    link_->start();
    started_ = true;
    forwarder_->start();
    commands_->start();
    if (kq_startserverex(registry_.target(), kConnectMessage, kDataMessage, settings_.bind.c_str(),
                         settings_.terminalPort) != 1)
        throw BridgeError(std::string("the terminal server did not start: ") + kq_lastfailure());
    return kq_getserverport();
}

void Bridge::stop() {
    if (!started_) return;
    started_ = false;
    commands_->stop("the bridge is stopping");
    kq_finishserver();  // every terminal's disconnect reaches the forwarder before this returns
    const auto deadline = std::chrono::steady_clock::now() + kDrainTime;
    forwarder_->drain(deadline);
    events_.setListener(nullptr);  // file transfers may still tell their end
    link_->publish(topics_.online(), "false", true);
    link_->stop(std::chrono::steady_clock::now() + kGoodbyeTime);
}

void Bridge::connected() {
    link_->publish(topics_.online(), "true", true);
    // The retained states are read at every connection, to correct those an
    // earlier run left as connected.
    link_->subscribe(topics_.terminalStates(), true);
    link_->subscribe(topics_.terminalCommands(), false);
    link_->subscribe(topics_.siteCommands(), false);
    // A broker that lost its retained messages gets them back.
    states_->republish();
    forwarder_->connectionChanged();
}

void Bridge::answer(const std::optional<std::string> &responseTopic, const std::optional<std::string> &correlation,
                    const nlohmann::json &body) {
    if (!responseTopic) return;  // carried out, answered to nobody
    const PublishResult result = link_->publishAnswer(*responseTopic, web::dumpJson(body), correlation);
    if (result.status != PublishResult::Status::Accepted)
        printNote("cannot answer on " + responseTopic->substr(0, 200) + ": " + result.reason);
}

void Bridge::received(const IncomingMessage &message) {
    const std::string topic(message.topic);
    if (auto id = topics_.stateId(topic)) {
        if (message.retained) states_->retainedSeen(*id, std::string(message.payload));
        return;
    }
    std::optional<fleet::SiteTopics::Command> command = topics_.command(topic);
    if (!command) return;
    std::optional<std::string> responseTopic = message.responseTopic;
    std::optional<std::string> correlation = message.correlationData;
    if (responseTopic && !fleet::validResponseTopic(*responseTopic)) {
        // Answering there would let a commander publish with the bridge's rights.
        printNote("a command on " + topic.substr(0, 200) + " wants its answer on " + responseTopic->substr(0, 200) +
                  ", not under " + std::string(fleet::kReplyPrefix) + ": refused, not carried out, not answered");
        return;
    }
    std::optional<std::chrono::steady_clock::time_point> expiry;
    if (message.expiry) expiry = std::chrono::steady_clock::now() + std::chrono::seconds(*message.expiry);
    if (message.payload.size() > settings_.maxPayload) {
        // Refused here, without copying it.
        answer(responseTopic, correlation, runner_->run(*command, message.payload));
        return;
    }
    CommandQueue::Job job;
    job.bytes = message.payload.size();
    job.lane = command->terminalId;
    job.run = [this, command = *command, payload = std::string(message.payload), responseTopic, correlation, expiry] {
        answer(responseTopic, correlation, runner_->run(command, payload, expiry));
    };
    job.refuse = [this, command = *command, responseTopic, correlation](const std::string &reason) {
        answer(responseTopic, correlation, {{"site", topics_.site()}, {"action", command.action}, {"error", reason}});
    };
    commands_->push(std::move(job));
}

}  // namespace ks318::bridge
