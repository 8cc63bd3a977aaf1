#include "tools/shop/event_hub.h"

#include <algorithm>

namespace ks318::web {

std::int64_t millisecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<Event> EventHub::Subscription::next(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, wait, [&] { return ended_ || !queue_.empty() || missed_ > 0; });
    if (ended_) return std::nullopt;
    if (queue_.empty()) {
        if (missed_ == 0) return std::nullopt;
        Event gap;
        gap.kind = "gap";
        gap.body = {{"kind", "gap"},        {"time", millisecondsSinceEpoch()}, {"terminal", 0},
                    {"dropped", missed_},   {"first_seq", firstMissed_},        {"last_seq", lastMissed_}};
        missed_ = 0;
        return gap;
    }
    Event event = std::move(queue_.front());
    queue_.pop_front();
    return event;
}

bool EventHub::Subscription::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void EventHub::end(Subscription &subscription) {
    {
        std::lock_guard lock(subscription.mutex_);
        subscription.ended_ = true;
        subscription.queue_.clear();
    }
    subscription.arrived_.notify_all();
}

void EventHub::setListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void EventHub::publish(const std::string &kind, EventTerminal terminal, nlohmann::json fields,
                       const std::shared_ptr<TerminalRecord> &source) {
    Event event;
    event.kind = kind;
    std::lock_guard lock(mutex_);
    event.seq = nextSeq_++;
    event.body = nlohmann::json::object();
    event.body["seq"] = event.seq;
    event.body["time"] = millisecondsSinceEpoch();
    event.body["kind"] = kind;
    event.body["terminal"] = terminal.number;
    if (terminal.id != 0) event.body["terminal_id"] = terminal.id;
    if (fields.is_object())
        for (auto &[key, value] : fields.items()) event.body[key] = std::move(value);
    kept_.push_back(event);
    if (kept_.size() > kKept) kept_.pop_front();
    if (listener_) listener_(event, source);
    // Queued under the hub's lock, so that every stream sees the events in seq order.
    // A full queue misses this event and those after it until its reader has taken
    // the gap marker, so the events it does get stay in order around one marker.
    for (auto &subscriber : subscribers_) {
        Subscription &subscription = *subscriber;
        {
            std::lock_guard queueLock(subscription.mutex_);
            if (subscription.missed_ > 0 || subscription.queue_.size() >= kQueuePerSubscriber) {
                if (subscription.missed_++ == 0) subscription.firstMissed_ = event.seq;
                subscription.lastMissed_ = event.seq;
                continue;
            }
            subscription.queue_.push_back(event);
        }
        subscription.arrived_.notify_one();
    }
}

std::vector<Event> EventHub::recent(std::size_t limit) const {
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(limit, kept_.size());
    return std::vector<Event>(kept_.end() - static_cast<std::ptrdiff_t>(count), kept_.end());
}

std::shared_ptr<EventHub::Subscription> EventHub::subscribe(std::size_t maxSubscribers) {
    std::lock_guard lock(mutex_);
    if (closed_ || subscribers_.size() >= maxSubscribers) return nullptr;
    auto subscription = std::make_shared<Subscription>();
    subscribers_.push_back(subscription);
    return subscription;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscription> &subscription) {
    std::lock_guard lock(mutex_);
    subscribers_.remove(subscription);
}

std::size_t EventHub::subscribers() const {
    std::lock_guard lock(mutex_);
    return subscribers_.size();
}

void EventHub::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto &subscription : subscribers_) end(*subscription);
    subscribers_.clear();
}

}  // namespace ks318::web
