// An MQTT 5 client for tests (libmosquitto): subscribes, publishes with a
// response topic and correlation data, and keeps every message it receives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "tests/support/waits.h"

namespace ks318::bridge {

inline const bool kMosquittoReady = [] {
    mosquitto_lib_init();
    return true;
}();

class TestClient {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
        std::optional<std::string> correlation;
    };

    // `persistent`: a session that outlives a disconnection (clean start off, an hour's expiry).
    TestClient(int port, const std::string &id, bool persistent = false) {
        client_ = mosquitto_new(id.c_str(), !persistent, this);
        if (!client_) throw std::runtime_error("mosquitto_new failed");
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_v5_callback_set(client_, [](mosquitto *, void *self, int reason, int, const mosquitto_property *) {
            auto *me = static_cast<TestClient *>(self);
            std::lock_guard lock(me->mutex_);
            if (reason == 0) ++me->connections_;
            me->changed_.notify_all();
        });
        mosquitto_subscribe_v5_callback_set(client_, [](mosquitto *, void *self, int, int, const int *, const mosquitto_property *) {
            auto *me = static_cast<TestClient *>(self);
            std::lock_guard lock(me->mutex_);
            ++me->subscriptions_;
            me->changed_.notify_all();
        });
        mosquitto_message_v5_callback_set(client_, [](mosquitto *, void *self, const mosquitto_message *message,
                                                      const mosquitto_property *properties) {
            auto *me = static_cast<TestClient *>(self);
            Message copy;
            copy.topic = message->topic;
            copy.payload.assign(static_cast<const char *>(message->payload), static_cast<std::size_t>(message->payloadlen));
            copy.retained = message->retain;
            void *data = nullptr;
            std::uint16_t length = 0;
            if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
                copy.correlation = std::string(static_cast<const char *>(data), length);
                std::free(data);
            }
            std::lock_guard lock(me->mutex_);
            me->messages_.push_back(std::move(copy));
            me->changed_.notify_all();
        });
        mosquitto_property *connect = nullptr;
        if (persistent) mosquitto_property_add_int32(&connect, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
        const int connected = mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, connect);
        mosquitto_property_free_all(&connect);
        if (connected != MOSQ_ERR_SUCCESS) throw std::runtime_error("the test client cannot connect");
        mosquitto_loop_start(client_);
        if (!waitUntil([&] { return connections_ > 0; })) throw std::runtime_error("no CONNACK");
    }
    ~TestClient() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    void subscribe(const std::string &filter) {
        int before;
        {
            std::lock_guard lock(mutex_);
            before = subscriptions_;
        }
        mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), 1, 0, nullptr);
        if (!waitUntil([&] { return subscriptions_ > before; })) throw std::runtime_error("no SUBACK");
    }
    void publish(const std::string &topic, const std::string &payload, bool retain = false,
                 const std::string &responseTopic = "", const std::string &correlation = "") {
        mosquitto_property *properties = nullptr;
        if (!responseTopic.empty())
            mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
        if (!correlation.empty())
            mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                          static_cast<std::uint16_t>(correlation.size()));
        mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain,
                             properties);
        mosquitto_property_free_all(&properties);
    }

    std::vector<Message> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<Message> on(const std::string &topic) const {
        std::vector<Message> out;
        for (const Message &one : messages())
            if (one.topic == topic) out.push_back(one);
        return out;
    }
    // Waits (bounded) until `done` holds for the messages received so far.
    bool waitFor(const std::function<bool(const std::vector<Message> &)> &done) {
        return waitUntil([&] { return done(messages_); });
    }
    bool waitForTopic(const std::string &topic, std::size_t count = 1) {
        return waitFor([&](const std::vector<Message> &all) {
            std::size_t seen = 0;
            for (const Message &one : all) seen += one.topic == topic;
            return seen >= count;
        });
    }
    int connections() const {
        std::lock_guard lock(mutex_);
        return connections_;
    }

private:
    template <typename Done>
    bool waitUntil(Done done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ks318::test::kEventWaitMs), done);
    }

    mosquitto *client_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    int connections_ = 0;
    int subscriptions_ = 0;
};

}  // namespace ks318::bridge
