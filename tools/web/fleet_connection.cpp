#include "tools/web/fleet_connection.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <vector>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "tools/fleet/topics.h"

namespace ks318::web {
namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLastRetry = std::chrono::seconds(5);
constexpr int kLoopWaitMs = 250;  // how soon the thread sees a stop between two network waits
constexpr auto kDisconnectBound = std::chrono::seconds(2);

std::string randomHex(std::size_t digits) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::string text;
    char piece[17];
    while (text.size() < digits) {
        std::snprintf(piece, sizeof piece, "%016llx", static_cast<unsigned long long>(random()));
        text += piece;
    }
    return text.substr(0, digits);
}

// The library is set up once for the program's life.
void initialiseLibrary() {
    static const int done = [] { return mosquitto_lib_init(); }();
    (void)done;
}

// A property list freed once, however the function leaves.
struct Properties {
    mosquitto_property *list = nullptr;
    ~Properties() { mosquitto_property_free_all(&list); }
};

}  // namespace

FleetConnection::FleetConnection(fleet::BrokerAddress broker, std::optional<fleet::Credentials> credentials, std::string caFile,
                                 Handlers handlers)
    : broker_(std::move(broker)), credentials_(std::move(credentials)), caFile_(std::move(caFile)),
      handlers_(std::move(handlers)) {
    clientId_ = "ks318-web-" + randomHex(16);
    // Bridges answer only under the reply prefix; the ACL lets each client read its own part of it.
    answerPrefix_ = std::string(fleet::kReplyPrefix) + clientId_ + "/";
}

FleetConnection::~FleetConnection() {
    stop();
    if (client_ != nullptr) mosquitto_destroy(client_);
}

bool FleetConnection::start(std::string &error) {
    initialiseLibrary();
    // A new session each time: the state comes back as retained messages.
    client_ = mosquitto_new(clientId_.c_str(), true, this);
    if (client_ == nullptr) {
        error = "cannot make an MQTT client";
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Commands are published from the HTTP workers while this client's own thread runs the network.
    mosquitto_threaded_set(client_, true);
    mosquitto_connect_v5_callback_set(client_, onConnect);
    mosquitto_disconnect_v5_callback_set(client_, onDisconnect);
    mosquitto_subscribe_v5_callback_set(client_, onSubscribe);
    mosquitto_message_v5_callback_set(client_, onMessage);
    if (credentials_) {
        const int rc = mosquitto_username_pw_set(client_, credentials_->user.c_str(), credentials_->password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("the broker's credentials are refused: ") + mosquitto_strerror(rc);
            return false;
        }
    }
    if (broker_.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (!caFile_.empty()) rc = mosquitto_tls_set(client_, caFile_.c_str(), nullptr, nullptr, nullptr, nullptr);
        else rc = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("TLS cannot be set up: ") + mosquitto_strerror(rc);
            return false;
        }
    }
    // The first attempt: a broker that is not there yet is tried again by the thread.
    const int rc = mosquitto_connect_async(client_, broker_.host.c_str(), broker_.port, kKeepAliveSeconds);
    if (rc == MOSQ_ERR_INVAL) {
        error = "the broker's address is refused: " + broker_.url;
        return false;
    }
    if (rc != MOSQ_ERR_SUCCESS) lost(std::string("cannot connect: ") + mosquitto_strerror(rc));
    thread_ = std::thread([this] { run(); });
    return true;
}

void FleetConnection::run() {
    auto retry = kFirstRetry;
    std::chrono::steady_clock::time_point stopAt{};
    while (true) {
        const int rc = mosquitto_loop(client_, kLoopWaitMs, 1);
        if (stopping_) {
            // The DISCONNECT goes out first, unless it cannot within the bound.
            if (stopAt == std::chrono::steady_clock::time_point{}) stopAt = std::chrono::steady_clock::now() + kDisconnectBound;
            if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0 || std::chrono::steady_clock::now() >= stopAt)
                break;
            continue;
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            if (subscribed_) retry = kFirstRetry;
            continue;
        }
        if (rc != MOSQ_ERR_NO_CONN) lost(mosquitto_strerror(rc));
        {
            std::unique_lock lock(waitMutex_);
            wake_.wait_for(lock, retry, [&] { return stopping_.load(); });
        }
        if (stopping_) break;
        retry = std::min<std::chrono::seconds>(retry * 2, kLastRetry);
        const int again = mosquitto_reconnect_async(client_);
        if (again != MOSQ_ERR_SUCCESS) lost(std::string("cannot connect: ") + mosquitto_strerror(again));
    }
}

void FleetConnection::stop() {
    if (stopped_ || client_ == nullptr) return;
    stopped_ = true;
    {
        std::lock_guard lock(waitMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    mosquitto_disconnect(client_);
    if (thread_.joinable()) thread_.join();
    subscribed_ = false;
}

void FleetConnection::report(const std::string &line) {
    std::lock_guard lock(reportMutex_);
    if (line == lastReport_) return;
    lastReport_ = line;
    std::cerr << "ks318-web: fleet broker " << broker_.url << ": " << line << std::endl;
}

void FleetConnection::lost(const std::string &why) {
    const bool was = subscribed_.exchange(false);
    report("not connected (" + why + ")");
    if (was && handlers_.connection) handlers_.connection(false);
}

void FleetConnection::onConnect(struct mosquitto *client, void *self, int reason, int, const mqtt5__property *) {
    auto &connection = *static_cast<FleetConnection *>(self);
    connection.connackSeen_ = true;
    if (reason != 0) {
        connection.lost(std::string("refused: ") + mosquitto_reason_string(reason));
        return;
    }
    std::vector<std::string> topics = fleet::fleetSubscriptions();
    topics.push_back(connection.answerPrefix_ + "+");
    std::vector<char *> names;
    for (std::string &topic : topics) names.push_back(topic.data());
    int mid = 0;
    const int rc = mosquitto_subscribe_multiple(client, &mid, static_cast<int>(names.size()), names.data(), 1, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        connection.lost(std::string("cannot subscribe: ") + mosquitto_strerror(rc));
        return;
    }
    connection.subscribeMid_ = mid;
}

void FleetConnection::onSubscribe(struct mosquitto *, void *self, int mid, int count, const int *granted,
                                  const mqtt5__property *) {
    auto &connection = *static_cast<FleetConnection *>(self);
    if (mid != connection.subscribeMid_) return;
    for (int i = 0; i < count; ++i) {
        if (granted[i] > 2) {
            connection.lost(std::string("subscription refused: ") + mosquitto_reason_string(granted[i]));
            return;
        }
    }
    connection.report("connected");
    if (!connection.subscribed_.exchange(true) && connection.handlers_.connection) connection.handlers_.connection(true);
}

void FleetConnection::onDisconnect(struct mosquitto *, void *self, int reason, const mqtt5__property *) {
    auto &connection = *static_cast<FleetConnection *>(self);
    if (connection.stopping_) {
        connection.subscribed_ = false;
        return;
    }
    if (!connection.connackSeen_.exchange(false) && reason == MOSQ_ERR_CONN_LOST && !connection.broker_.tls) {
        // A TLS listener drops a plain CONNECT without a word.
        connection.lost("the connection closed before the broker answered CONNECT: is this a TLS port? use mqtts://");
        return;
    }
    connection.lost(reason == 0 ? "disconnected" : std::string("disconnected: ") + mosquitto_strerror(reason));
}

void FleetConnection::onMessage(struct mosquitto *, void *self, const mosquitto_message *message,
                                const mqtt5__property *properties) {
    auto &connection = *static_cast<FleetConnection *>(self);
    if (message == nullptr || message->topic == nullptr) return;
    const std::string_view topic = message->topic;
    const std::string_view payload(static_cast<const char *>(message->payload),
                                   message->payload == nullptr ? 0 : static_cast<std::size_t>(message->payloadlen));
    if (topic.rfind(connection.answerPrefix_, 0) == 0) {
        // The correlation data says which command this answers; the topic says it too.
        std::string correlation(topic.substr(connection.answerPrefix_.size()));
        void *data = nullptr;
        std::uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false) != nullptr) {
            correlation.assign(static_cast<const char *>(data), length);
            std::free(data);
        }
        if (connection.handlers_.answer) connection.handlers_.answer(correlation, payload);
        return;
    }
    if (connection.handlers_.message) connection.handlers_.message(topic, payload);
}

bool FleetConnection::publishCommand(const std::string &topic, const std::string &payload,
                                     const std::string &correlation, std::uint32_t expirySeconds, std::string &error,
                                     bool &tooLarge) {
    tooLarge = false;
    if (payload.size() > MQTT_MAX_PAYLOAD) {
        tooLarge = true;
        error = "the command is larger than an MQTT message can be";
        return false;
    }
    if (!subscribed_) {
        error = "the fleet's broker is not connected";
        return false;
    }
    Properties properties;
    const std::string responseTopic = answerPrefix_ + correlation;
    if (mosquitto_property_add_string(&properties.list, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str()) !=
            MOSQ_ERR_SUCCESS ||
        mosquitto_property_add_binary(&properties.list, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size())) != MOSQ_ERR_SUCCESS ||
        mosquitto_property_add_int32(&properties.list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expirySeconds) !=
            MOSQ_ERR_SUCCESS) {
        error = "the command's properties could not be made";
        return false;
    }
    const int rc = mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, false, properties.list);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    tooLarge = rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_OVERSIZE_PACKET;
    error = rc == MOSQ_ERR_NO_CONN ? "the fleet's broker is not connected"
                                   : std::string("the command could not be published: ") + mosquitto_strerror(rc);
    return false;
}

}  // namespace ks318::web
