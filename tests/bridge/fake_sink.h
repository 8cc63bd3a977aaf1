// A stand-in for the broker connection: records what is published, says
// whether it is connected, and lets a test acknowledge messages by hand.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/waits.h"
#include "tools/bridge/message_sink.h"

namespace ks318::bridge {

class FakeSink : public MessageSink {
public:
    struct Published {
        std::string topic;
        std::string payload;
        bool retain;
        int messageId;
        std::uint64_t connection;
        bool olderUnacknowledged;  // a message of an earlier connection was still unacknowledged
    };

    std::optional<std::uint64_t> connection() const override {
        std::lock_guard lock(mutex_);
        if (!connected_) return std::nullopt;
        return connection_;
    }

    PublishResult publish(const std::string &topic, std::string_view payload, bool retain) override {
        std::lock_guard lock(mutex_);
        PublishResult result;
        if (refuseNext_ > 0 && topic.find("/events/") != std::string::npos) {
            --refuseNext_;
            result.status = refuseStatus_;
            result.reason = "refused by the test";
            return result;
        }
        const int id = nextId_++;
        bool older = false;
        for (const Published &earlier : published_)
            older = older || (earlier.connection < connection_ && !acknowledged_.count(earlier.messageId) &&
                              earlier.topic.find("/events/") != std::string::npos);
        published_.push_back({topic, std::string(payload), retain, id, connection_, older});
        // States may go out any time (the client library keeps them); events only while connected.
        if (!connected_ && topic.find("/events/") != std::string::npos) publishedWhileDisconnected_ = true;
        changed_.notify_all();
        result.status = PublishResult::Status::Accepted;
        result.messageId = id;
        return result;
    }

    void setConnected(bool connected) {
        std::lock_guard lock(mutex_);
        if (connected && !connected_) ++connection_;
        connected_ = connected;
    }
    void markAcknowledged(int messageId) {
        std::lock_guard lock(mutex_);
        acknowledged_.insert(messageId);
    }
    // The next `count` event publishes get `status` instead of being taken.
    void refuseNext(int count, PublishResult::Status status) {
        std::lock_guard lock(mutex_);
        refuseNext_ = count;
        refuseStatus_ = status;
    }

    // The event messages published so far (the topic has /events/).
    std::vector<Published> events() const {
        std::lock_guard lock(mutex_);
        std::vector<Published> out;
        for (const Published &one : published_)
            if (one.topic.find("/events/") != std::string::npos) out.push_back(one);
        return out;
    }
    std::vector<Published> all() const {
        std::lock_guard lock(mutex_);
        return published_;
    }
    bool waitFor(const std::function<bool(const std::vector<Published> &)> &done) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ks318::test::kEventWaitMs),
                                 [&] { return done(published_); });
    }
    bool waitForEvents(std::size_t count) const {
        return waitFor([&](const std::vector<Published> &all) {
            std::size_t events = 0;
            for (const Published &one : all) events += one.topic.find("/events/") != std::string::npos;
            return events >= count;
        });
    }
    bool publishedWhileDisconnected() const {
        std::lock_guard lock(mutex_);
        return publishedWhileDisconnected_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool connected_ = false;
    std::uint64_t connection_ = 0;
    int nextId_ = 1;
    int refuseNext_ = 0;
    PublishResult::Status refuseStatus_ = PublishResult::Status::Retry;
    std::vector<Published> published_;
    std::set<int> acknowledged_;
    bool publishedWhileDisconnected_ = false;
};

}  // namespace ks318::bridge
