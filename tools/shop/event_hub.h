// The program's events (connects, keys, answers, screen changes, actions ...):
// the last 1000 kept for /api/events/recent, and each one handed to every
// /api/events stream. Publishing never waits for a stream: a subscriber whose
// queue is full misses events, so a slow browser never holds a terminal's thread,
// and is told so by a gap marker once it has caught up.
// A program that must see every event (the fleet bridge) sets a listener
// instead: it is called for each event in publish order and never dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ks318::web {

struct TerminalRecord;

// The terminal an event is about: its id, which names it for as long as it is
// connected, and its number at the moment of the event (numbers close up when
// terminals leave). Both 0 for an event about no terminal.
struct EventTerminal {
    int number = 0;
    std::int32_t id = 0;
};

struct Event {
    std::uint64_t seq = 0;
    std::string kind;
    nlohmann::json body;  // the whole event: seq, time, kind, terminal, terminal_id and the kind's fields
};

class EventHub {
public:
    static constexpr std::size_t kKept = 1000;
    static constexpr std::size_t kQueuePerSubscriber = 256;

    // One stream's queue of events not yet written.
    class Subscription {
    public:
        // The next event; nothing when `wait` passed without one, or when the
        // subscription ended (the hub closed). After events were missed, once those
        // queued before them are taken, a marker of kind "gap" comes in their place:
        // {"kind":"gap","time":MS,"terminal":0,"dropped":N,"first_seq":A,"last_seq":B}.
        std::optional<Event> next(std::chrono::milliseconds wait);
        bool ended() const;

    private:
        friend class EventHub;
        mutable std::mutex mutex_;
        std::condition_variable arrived_;
        std::deque<Event> queue_;
        // Events missed since the queue was full: none is queued until the marker is taken.
        std::uint64_t missed_ = 0, firstMissed_ = 0, lastMissed_ = 0;
        bool ended_ = false;
    };

    // Sees every event, in publish order, with the record of the terminal it came
    // from (null when the publisher named none). Called under the hub's lock, so it
    // must return promptly and must not publish.
    using Listener = std::function<void(const Event &event, const std::shared_ptr<TerminalRecord> &source)>;
    void setListener(Listener listener);

    // Adds an event: stamps seq and time, keeps it, hands it to the listener and
    // queues it for every subscriber. `fields` is an object with the kind's own
    // fields; `terminal` {} for none; `source` the terminal's record when known.
    void publish(const std::string &kind, EventTerminal terminal, nlohmann::json fields,
                 const std::shared_ptr<TerminalRecord> &source = nullptr);

    // The last `limit` events kept, oldest first.
    std::vector<Event> recent(std::size_t limit) const;

    // Nothing when the hub is closed or already serves `maxSubscribers`.
    std::shared_ptr<Subscription> subscribe(std::size_t maxSubscribers);
    void unsubscribe(const std::shared_ptr<Subscription> &subscription);
    std::size_t subscribers() const;

    // Ends every subscription and refuses new ones: the streams end at once.
    void close();

private:
    static void end(Subscription &subscription);

    mutable std::mutex mutex_;
    std::uint64_t nextSeq_ = 1;
    std::deque<Event> kept_;
    std::list<std::shared_ptr<Subscription>> subscribers_;
    Listener listener_;
    bool closed_ = false;
};

std::int64_t millisecondsSinceEpoch();

}  // namespace ks318::web
