// The forwarder: the thread that takes every event from the hub (in publish
// order, none lost), gives it its terminal's id, the site, the bridge's boot
// time and its own sequence number, and sends it through the outbox:
//
//  - each event is appended to the outbox (one write per batch);
//  - while the broker is connected, the oldest events not yet handed out go to
//    the client library, at most kWindow at a time, in order;
//  - an event leaves the outbox when its PUBACK comes.
//
// After a reconnection the client library first sends again what it was given
// before; new events wait until all of those are acknowledged, so that no newer
// event overtakes an older one.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/bridge/message_sink.h"
#include "tools/bridge/outbox.h"
#include "tools/fleet/topics.h"
#include "tools/bridge/terminal_identities.h"
#include "tools/bridge/terminal_states.h"
#include "tools/shop/event_hub.h"

namespace ks318::bridge {

class EventForwarder {
public:
    static constexpr std::size_t kWindow = 1000;
    static constexpr std::chrono::milliseconds kSaveEvery{250};

    using Warn = std::function<void(const std::string &)>;
    // `boot`: the bridge's start in ms since the epoch, stamped on every event.
    EventForwarder(const fleet::SiteTopics &topics, std::int64_t boot, Outbox &outbox, TerminalStates &states,
                   MessageSink &sink, Warn warn);
    ~EventForwarder();  // stops the thread (use drain() for an orderly end)
    EventForwarder(const EventForwarder &) = delete;
    EventForwarder &operator=(const EventForwarder &) = delete;

    void start();
    // The hub's listener: queues the event for the thread, and returns at once.
    void take(const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source);
    // The broker acknowledged a message (the network thread).
    void acknowledged(int messageId);
    // A connection came or went (the network thread).
    void connectionChanged();

    // The end: every terminal still waiting for its id takes its address, then
    // the outbox is sent until empty, until the connection is gone, or until
    // `deadline`. The thread then ends and the outbox's state is saved.
    void drain(std::chrono::steady_clock::time_point deadline);

    std::uint64_t forwarded() const;  // events given their seq so far

private:
    struct Taken {
        web::Event event;
        std::shared_ptr<web::TerminalRecord> source;
    };
    struct InFlight {
        std::uint64_t index;
        std::uint64_t connection;
    };
    void run();
    void apply(std::vector<TerminalIdentities::Step> &steps);
    void pump();
    void publishDropped();

    const fleet::SiteTopics &topics_;
    const std::int64_t boot_;
    Outbox &outbox_;
    TerminalStates &states_;
    MessageSink &sink_;
    const Warn warn_;

    // Shared with the other threads, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Taken> taken_;
    std::vector<int> acknowledgements_;
    bool nudged_ = false;
    bool stopping_ = false;
    std::optional<std::chrono::steady_clock::time_point> drainUntil_;

    // The thread's own.
    TerminalIdentities identities_;
    std::map<int, InFlight> inFlight_;                 // by message id
    std::map<std::uint64_t, std::size_t> perConnection_;  // in-flight counts by connection
    std::optional<Outbox::Entry> retry_;               // taken from the outbox, not yet accepted
    std::optional<std::uint64_t> droppedShownOn_;      // the connection the dropped count was last published on
    std::uint64_t droppedShown_ = 0;
    std::chrono::steady_clock::time_point droppedShownAt_{};
    std::atomic<std::uint64_t> sequence_{0};
    std::thread thread_;
};

}  // namespace ks318::bridge
