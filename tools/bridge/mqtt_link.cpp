#include "tools/bridge/mqtt_link.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "tools/bridge/notes.h"

namespace ks318::bridge {
namespace {

constexpr unsigned kReconnectFirstSeconds = 1;
constexpr unsigned kReconnectLastSeconds = 5;
constexpr std::size_t kMaxEarlyAcknowledgements = 65536;
constexpr const char *kSystemCertificates = "/etc/ssl/certs";

// Frees a property list at the end of its scope.
struct Properties {
    mosquitto_property *list = nullptr;
    ~Properties() { mosquitto_property_free_all(&list); }
};

std::string where(const fleet::BrokerAddress &broker) {
    const bool v6 = broker.host.find(':') != std::string::npos;
    return (v6 ? "[" + broker.host + "]" : broker.host) + ":" + std::to_string(broker.port);
}

}  // namespace

MqttLink::MqttLink(LinkSettings settings, Handlers handlers)
    : settings_(std::move(settings)), handlers_(std::move(handlers)) {
    client_ = mosquitto_new(settings_.clientId.c_str(), false, this);
    if (!client_) throw LinkError("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, &MqttLink::onConnect);
    mosquitto_disconnect_v5_callback_set(client_, &MqttLink::onDisconnect);
    mosquitto_publish_v5_callback_set(client_, &MqttLink::onPublish);
    mosquitto_message_v5_callback_set(client_, &MqttLink::onMessage);
    mosquitto_log_callback_set(client_, &MqttLink::onLog);
    mosquitto_reconnect_delay_set(client_, kReconnectFirstSeconds, kReconnectLastSeconds, true);

    auto check = [&](int result, const std::string &what) {
        if (result != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            client_ = nullptr;
            throw LinkError(what + ": " + mosquitto_strerror(result));
        }
    };
    check(mosquitto_will_set_v5(client_, settings_.willTopic.c_str(), 5, "false", 1, true, nullptr),
          "cannot set the last will on " + settings_.willTopic);
    if (settings_.credentials)
        check(mosquitto_username_pw_set(client_, settings_.credentials->user.c_str(),
                                        settings_.credentials->password.c_str()),
              "cannot set the user name and password");
    if (settings_.broker.tls) {
        if (!settings_.cafile.empty()) {
            check(mosquitto_tls_set(client_, settings_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr),
                  "cannot use the CA file " + settings_.cafile);
        } else {
            std::error_code ignored;
            if (std::filesystem::is_directory(kSystemCertificates, ignored))
                check(mosquitto_tls_set(client_, nullptr, kSystemCertificates, nullptr, nullptr, nullptr),
                      std::string("cannot use the CA certificates in ") + kSystemCertificates);
            check(mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "cannot use the system's CA certificates");
        }
    }
}

MqttLink::~MqttLink() {
    if (started_) stop(std::chrono::steady_clock::now());
    if (client_) mosquitto_destroy(client_);
}

void MqttLink::start() {
    Properties properties;
    mosquitto_property_add_int32(&properties.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, settings_.sessionExpiry);
    if (settings_.maximumPacketSize)
        mosquitto_property_add_int32(&properties.list, MQTT_PROP_MAXIMUM_PACKET_SIZE, settings_.maximumPacketSize);
    // The connection properties are kept by libmosquitto for every reconnection.
    const int result = mosquitto_connect_bind_v5(client_, settings_.broker.host.c_str(), settings_.broker.port,
                                                 settings_.keepAlive, nullptr, properties.list);
    if (result == MOSQ_ERR_INVAL || result == MOSQ_ERR_PROTOCOL || result == MOSQ_ERR_DUPLICATE_PROPERTY)
        throw LinkError(std::string("cannot connect to the broker: ") + mosquitto_strerror(result));
    if (result != MOSQ_ERR_SUCCESS)
        tell("the broker at " + where(settings_.broker) + " cannot be reached yet (" +
             (result == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(result)) +
             "); trying again");
    const int looping = mosquitto_loop_start(client_);
    if (looping != MOSQ_ERR_SUCCESS)
        throw LinkError(std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(looping));
    started_ = true;
}

void MqttLink::stop(std::chrono::steady_clock::time_point deadline) {
    if (!started_) return;
    {
        std::unique_lock lock(mutex_);
        allAcknowledged_.wait_until(lock, deadline, [&] { return unacknowledged_.empty() || !connected_; });
    }
    // A clean disconnection: the broker drops the last will.
    mosquitto_disconnect_v5(client_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    mosquitto_loop_stop(client_, false);
    started_ = false;
    connected_ = false;
}

std::optional<std::uint64_t> MqttLink::connection() const {
    if (!connected_) return std::nullopt;
    return connections_.load();
}

PublishResult MqttLink::publish(const std::string &topic, std::string_view payload, bool retain) {
    return publishWith(topic, payload, retain, nullptr);
}

PublishResult MqttLink::publishAnswer(const std::string &topic, std::string_view payload,
                                      const std::optional<std::string> &correlationData) {
    Properties properties;
    if (correlationData)
        mosquitto_property_add_binary(&properties.list, MQTT_PROP_CORRELATION_DATA, correlationData->data(),
                                      static_cast<std::uint16_t>(std::min<std::size_t>(correlationData->size(), 65535)));
    return publishWith(topic, payload, false, properties.list);
}

PublishResult MqttLink::publishWith(const std::string &topic, std::string_view payload, bool retain,
                                    const mosquitto_property *properties) {
    PublishResult outcome;
    if (payload.size() > static_cast<std::size_t>(INT_MAX)) {
        outcome.status = PublishResult::Status::Refused;
        outcome.reason = "the message is too large";
        return outcome;
    }
    int messageId = 0;
    const int result = mosquitto_publish_v5(client_, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                                            payload.data(), 1, retain, properties);
    // Not connected: libmosquitto queued the QoS 1 message all the same and sends it once connected.
    if (result == MOSQ_ERR_SUCCESS || result == MOSQ_ERR_NO_CONN) {
        std::lock_guard lock(mutex_);
        if (acknowledgedEarly_.erase(messageId) == 0) unacknowledged_.insert(messageId);
        outcome.status = PublishResult::Status::Accepted;
        outcome.messageId = messageId;
        return outcome;
    }
    outcome.reason = mosquitto_strerror(result);
    outcome.status = result == MOSQ_ERR_NOMEM || result == MOSQ_ERR_ERRNO ? PublishResult::Status::Retry
                                                                          : PublishResult::Status::Refused;
    return outcome;
}

PublishResult MqttLink::publishExpiring(const std::string &topic, std::string_view payload, std::uint32_t expiry) {
    if (expiry == 0) return publishWith(topic, payload, true, nullptr);
    Properties properties;
    mosquitto_property_add_int32(&properties.list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry);
    return publishWith(topic, payload, true, properties.list);
}

bool MqttLink::subscribe(const std::string &filter, bool noLocal) {
    return mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), 1, noLocal ? MQTT_SUB_OPT_NO_LOCAL : 0, nullptr) ==
           MOSQ_ERR_SUCCESS;
}

std::size_t MqttLink::unacknowledged() const {
    std::lock_guard lock(mutex_);
    return unacknowledged_.size();
}

void MqttLink::tell(const std::string &news) {
    std::lock_guard lock(mutex_);
    if (news == lastNews_) return;
    lastNews_ = news;
    printNote(news);
}

void MqttLink::onConnect(mosquitto *, void *context, int reason, int, const mosquitto_property *) {
    auto *self = static_cast<MqttLink *>(context);
    self->connackSeen_ = true;
    if (reason != 0) {
        self->tell("the broker refused the connection: " + std::string(mosquitto_reason_string(reason)));
        return;
    }
    ++self->connections_;
    self->connected_ = true;
    self->tell("connected to the broker at " + where(self->settings_.broker));
    if (self->handlers_.connected) self->handlers_.connected();
}

void MqttLink::onDisconnect(mosquitto *, void *context, int reason, const mosquitto_property *) {
    auto *self = static_cast<MqttLink *>(context);
    const bool was = self->connected_.exchange(false);
    const bool answered = self->connackSeen_.exchange(false);
    if (was && reason != 0)
        self->tell("lost the broker (" + std::string(mosquitto_strerror(reason)) + "); reconnecting");
    else if (!answered && reason == MOSQ_ERR_CONN_LOST && !self->settings_.broker.tls)
        // A TLS listener drops a plain CONNECT without a word.
        self->tell("the broker at " + where(self->settings_.broker) +
                   " closed the connection before answering CONNECT: is this a TLS port? use mqtts://");
    {
        std::lock_guard lock(self->mutex_);
        self->allAcknowledged_.notify_all();
    }
    if (self->handlers_.disconnected) self->handlers_.disconnected();
}

void MqttLink::onPublish(mosquitto *, void *context, int messageId, int reason, const mosquitto_property *) {
    auto *self = static_cast<MqttLink *>(context);
    {
        std::lock_guard lock(self->mutex_);
        if (self->unacknowledged_.erase(messageId) == 0) {
            if (self->acknowledgedEarly_.size() >= kMaxEarlyAcknowledgements) self->acknowledgedEarly_.clear();
            self->acknowledgedEarly_.insert(messageId);
        }
        if (self->unacknowledged_.empty()) self->allAcknowledged_.notify_all();
    }
    if (self->handlers_.acknowledged) self->handlers_.acknowledged(messageId, reason);
}

void MqttLink::onMessage(mosquitto *, void *context, const mosquitto_message *message,
                         const mosquitto_property *properties) {
    auto *self = static_cast<MqttLink *>(context);
    if (!self->handlers_.message || !message->topic) return;
    IncomingMessage incoming;
    incoming.topic = message->topic;
    incoming.payload = std::string_view(static_cast<const char *>(message->payload),
                                        message->payload ? static_cast<std::size_t>(message->payloadlen) : 0);
    incoming.retained = message->retain;
    char *responseTopic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false)) {
        incoming.responseTopic = responseTopic;
        std::free(responseTopic);
    }
    void *correlation = nullptr;
    std::uint16_t correlationBytes = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationBytes, false)) {
        incoming.correlationData = std::string(static_cast<const char *>(correlation), correlationBytes);
        std::free(correlation);
    }
    std::uint32_t expiry = 0;
    if (mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false))
        incoming.expiry = expiry;
    self->handlers_.message(incoming);
}

void MqttLink::onLog(mosquitto *, void *context, int level, const char *text) {
    // Errors only (TLS failures say why here); the rest is libmosquitto's chatter.
    if (level == MOSQ_LOG_ERR && text) static_cast<MqttLink *>(context)->tell(std::string("broker connection: ") + text);
}

}  // namespace ks318::bridge
