// The bridge's connection to its broker (libmosquitto, MQTT 5): clean start off
// with a session expiry interval, a retained QoS 1 last will, keep-alive 10 s,
// TLS for mqtts://, and reconnection with backoff from 1 s to 5 s on
// libmosquitto's own network thread.
//
// libmosquitto keeps every QoS 1 message it was given until the broker
// acknowledges it, resending it after a reconnection; a message published while
// disconnected is kept the same way (its publish call says "not connected" but
// the message is queued, and goes out once connected). So Accepted means: it
// arrives, unless this program ends first. The handlers run on the network
// thread and must return promptly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/fleet/broker_address.h"
#include "tools/bridge/message_sink.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace ks318::bridge {

struct LinkError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LinkSettings {
    fleet::BrokerAddress broker;
    std::string clientId;
    std::optional<fleet::Credentials> credentials;
    std::string cafile;                  // empty: the system's CA certificates
    std::uint32_t sessionExpiry = 86400;
    std::uint32_t maximumPacketSize = 0;  // the largest packet the broker may send us; 0: no limit
    std::string willTopic;               // its payload is "false"
    int keepAlive = 10;
};

// A message from the broker; the views hold only during the handler's call.
struct IncomingMessage {
    std::string_view topic;
    std::string_view payload;
    bool retained = false;
    std::optional<std::string> responseTopic;
    std::optional<std::string> correlationData;
    std::optional<std::uint32_t> expiry;  // seconds left of its message expiry interval
};

class MqttLink : public MessageSink {
public:
    struct Handlers {
        std::function<void()> connected;  // the broker accepted a connection
        std::function<void()> disconnected;
        std::function<void(int messageId, int reasonCode)> acknowledged;
        std::function<void(const IncomingMessage &)> message;
    };

    // Throws LinkError for settings libmosquitto refuses (an unreadable CA file, say).
    MqttLink(LinkSettings settings, Handlers handlers);
    ~MqttLink() override;
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Starts connecting; a broker not reachable yet is tried again and again.
    void start();
    // Waits (until `deadline`) for the broker to acknowledge every QoS 1 message,
    // then disconnects cleanly (no last will) and ends the network thread.
    void stop(std::chrono::steady_clock::time_point deadline);

    std::optional<std::uint64_t> connection() const override;
    PublishResult publish(const std::string &topic, std::string_view payload, bool retain) override;
    // An answer to a command: not retained, with the command's correlation data.
    PublishResult publishAnswer(const std::string &topic, std::string_view payload,
                                const std::optional<std::string> &correlationData);
    // A retained message the broker forgets after `expiry` seconds (0: never).
    PublishResult publishExpiring(const std::string &topic, std::string_view payload, std::uint32_t expiry);
    // Subscribes with QoS 1; `noLocal`: our own messages are not sent back.
    bool subscribe(const std::string &filter, bool noLocal);

    // QoS 1 messages not acknowledged yet.
    std::size_t unacknowledged() const;

private:
    static void onConnect(mosquitto *, void *self, int reason, int flags, const mosquitto_property *);
    static void onDisconnect(mosquitto *, void *self, int reason, const mosquitto_property *);
    static void onPublish(mosquitto *, void *self, int messageId, int reason, const mosquitto_property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    PublishResult publishWith(const std::string &topic, std::string_view payload, bool retain,
                              const mosquitto_property *properties);
    void tell(const std::string &news);  // once per change of news

    const LinkSettings settings_;
    const Handlers handlers_;
    mosquitto *client_ = nullptr;
    bool started_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<std::uint64_t> connections_{0};

    mutable std::mutex mutex_;
    std::condition_variable allAcknowledged_;
    std::set<int> unacknowledged_;
    std::set<int> acknowledgedEarly_;  // acknowledged before publish returned its id
    std::string lastNews_;
    std::atomic<bool> connackSeen_{false};  // the broker answered this attempt's CONNECT
};

}  // namespace ks318::bridge
