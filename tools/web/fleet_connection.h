// The dashboard's MQTT 5 connection to the fleet's broker (libmosquitto): one
// network thread of its own that connects, subscribes to every site's state and
// events, hands each message on, and connects again after a loss (1 s, doubling
// to 5 s between attempts). Commands go out from any thread, each with a response
// topic of its own under this client's answer topic and its correlation data.
#pragma once

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "tools/fleet/broker_address.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace ks318::web {

class FleetConnection {
public:
    struct Handlers {
        // A message on one of the fleet's topics (ks318::fleet::fleetSubscriptions()).
        std::function<void(std::string_view topic, std::string_view payload)> message;
        // An answer to a command: its correlation data and payload.
        std::function<void(std::string_view correlation, std::string_view payload)> answer;
        // Subscribed (true) or the connection lost (false).
        std::function<void(bool connected)> connection;
    };

    FleetConnection(fleet::BrokerAddress broker, std::optional<fleet::Credentials> credentials, std::string caFile,
                    Handlers handlers);
    ~FleetConnection();
    FleetConnection(const FleetConnection &) = delete;
    FleetConnection &operator=(const FleetConnection &) = delete;

    // Sets the client up and starts its thread; false, with `error`, when the
    // settings are refused (a broker that cannot be reached is tried again and again).
    bool start(std::string &error);
    // Disconnects (bounded) and ends the thread; once.
    void stop();

    // Connected and subscribed: messages published from now on reach this client.
    bool connected() const { return subscribed_.load(); }
    const fleet::BrokerAddress &broker() const { return broker_; }

    // Publishes a command (QoS 1, not retained) that the broker drops once
    // `expirySeconds` have passed. False, with `error`, when not connected or when
    // the library refuses it (`tooLarge` for a payload past MQTT's limit).
    bool publishCommand(const std::string &topic, const std::string &payload, const std::string &correlation,
                        std::uint32_t expirySeconds, std::string &error, bool &tooLarge);

private:
    static void onConnect(struct mosquitto *, void *self, int reason, int flags, const mqtt5__property *);
    static void onDisconnect(struct mosquitto *, void *self, int reason, const mqtt5__property *);
    static void onSubscribe(struct mosquitto *, void *self, int mid, int count, const int *granted,
                            const mqtt5__property *);
    static void onMessage(struct mosquitto *, void *self, const mosquitto_message *message,
                          const mqtt5__property *properties);
    void run();
    void lost(const std::string &why);
    void report(const std::string &line);

    const fleet::BrokerAddress broker_;
    const std::optional<fleet::Credentials> credentials_;
    const std::string caFile_;
    const Handlers handlers_;
    std::string clientId_;
    std::string answerPrefix_;  // <answerPrefix_><correlation> is a command's response topic (under the reply prefix)

    struct mosquitto *client_ = nullptr;
    std::thread thread_;
    std::atomic<bool> subscribed_{false};
    std::atomic<bool> connackSeen_{false};  // the broker answered this attempt's CONNECT
    std::atomic<int> subscribeMid_{-1};
    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable wake_;  // the wait between connection attempts, cut short by stop()
    std::mutex reportMutex_;
    std::string lastReport_;  // the same line is printed once
    bool stopped_ = false;
};

}  // namespace ks318::web
