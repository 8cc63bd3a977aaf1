#include "tools/bridge/event_forwarder.h"

#include <algorithm>

#include "tools/shop/json_shapes.h"

namespace ks318::bridge {

using Clock = std::chrono::steady_clock;

EventForwarder::EventForwarder(const fleet::SiteTopics &topics, std::int64_t boot, Outbox &outbox, TerminalStates &states,
                               MessageSink &sink, Warn warn)
    : topics_(topics), boot_(boot), outbox_(outbox), states_(states), sink_(sink), warn_(std::move(warn)) {}

EventForwarder::~EventForwarder() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void EventForwarder::start() { thread_ = std::thread([this] { run(); }); }

void EventForwarder::take(const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source) {
    {
        std::lock_guard lock(mutex_);
        taken_.push_back({event, source});
    }
    wake_.notify_one();
}

void EventForwarder::acknowledged(int messageId) {
    {
        std::lock_guard lock(mutex_);
        acknowledgements_.push_back(messageId);
    }
    wake_.notify_one();
}

void EventForwarder::connectionChanged() {
    {
        std::lock_guard lock(mutex_);
        nudged_ = true;
    }
    wake_.notify_one();
}

void EventForwarder::drain(Clock::time_point deadline) {
    {
        std::lock_guard lock(mutex_);
        drainUntil_ = deadline;
        nudged_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

std::uint64_t EventForwarder::forwarded() const { return sequence_.load(); }

void EventForwarder::run() {
    auto nextSave = Clock::now() + kSaveEvery;
    for (;;) {
        std::deque<Taken> batch;
        std::vector<int> acknowledgements;
        std::optional<Clock::time_point> drainUntil;
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            auto until = nextSave;
            if (auto deadline = identities_.nextDeadline()) until = std::min(until, *deadline);
            if (drainUntil_) until = std::min(until, *drainUntil_);
            wake_.wait_until(lock, until, [&] {
                return stopping_ || nudged_ || !taken_.empty() || !acknowledgements_.empty();
            });
            batch.swap(taken_);
            acknowledgements.swap(acknowledgements_);
            nudged_ = false;
            stopping = stopping_;
            drainUntil = drainUntil_;
        }
        if (stopping && !drainUntil) break;
        const auto now = Clock::now();
        try {
            std::vector<TerminalIdentities::Step> steps;
            for (const Taken &taken : batch) identities_.accept(taken.event, taken.source, now, steps);
            identities_.expire(now, steps);
            if (drainUntil) identities_.resolveAll(steps);
            apply(steps);
            for (const int messageId : acknowledgements) {
                auto found = inFlight_.find(messageId);
                if (found == inFlight_.end()) continue;  // a state, an answer, the dropped count
                outbox_.acknowledge(found->second.index);
                if (--perConnection_[found->second.connection] == 0) perConnection_.erase(found->second.connection);
                inFlight_.erase(found);
            }
            pump();
            outbox_.flush();
            publishDropped();
            if (now >= nextSave) {
                outbox_.save();
                nextSave = now + kSaveEvery;
            }
        } catch (const OutboxError &problem) {
            // The queue's files failed under the bridge: say so, and go on with what is in memory.
            warn_(problem.what());
        }
        if (drainUntil && ((outbox_.size() == 0 && !retry_) || !sink_.connection() || now >= *drainUntil)) break;
    }
    try {
        outbox_.save();
    } catch (const OutboxError &problem) {
        warn_(problem.what());
    }
}

void EventForwarder::apply(std::vector<TerminalIdentities::Step> &steps) {
    for (TerminalIdentities::Step &step : steps) {
        switch (step.kind) {
        case TerminalIdentities::Step::Kind::Identified:
            states_.identified(step.record, step.id);
            break;
        case TerminalIdentities::Step::Kind::Departed:
            states_.departed(step.record, step.id);
            break;
        case TerminalIdentities::Step::Kind::Duplicate: {
            nlohmann::json &body = step.event;
            body["site"] = topics_.site();
            body["time"] = web::millisecondsSinceEpoch();
            warn_("terminal " + std::to_string(step.record->id) + " claims the identifier " +
                  body["uid"].get<std::string>() + " of a connected terminal; it goes by " + step.id);
            outbox_.append(topics_.duplicates(), web::dumpJson(body));
            break;
        }
        case TerminalIdentities::Step::Kind::Forward: {
            nlohmann::json &body = step.event;
            body["site"] = topics_.site();
            body["id"] = step.id;
            body["boot"] = boot_;
            body["seq"] = ++sequence_;
            outbox_.append(topics_.event(step.id, step.eventKind), web::dumpJson(body));
            break;
        }
        }
    }
}

void EventForwarder::pump() {
    const std::optional<std::uint64_t> connection = sink_.connection();
    if (!connection) return;
    // What was handed out before this connection goes first: the client library resends it.
    if (!perConnection_.empty() && perConnection_.begin()->first < *connection) return;
    while (inFlight_.size() < kWindow) {
        std::optional<Outbox::Entry> entry = std::move(retry_);
        retry_.reset();
        if (!entry) entry = outbox_.next();
        if (!entry) return;
        const PublishResult result = sink_.publish(entry->message.topic, entry->message.payload, false);
        switch (result.status) {
        case PublishResult::Status::Accepted:
            inFlight_[result.messageId] = {entry->index, *connection};
            ++perConnection_[*connection];
            break;
        case PublishResult::Status::Refused:
            warn_("an event for " + entry->message.topic + " cannot be sent (" + result.reason + "); it is left out");
            outbox_.acknowledge(entry->index);
            break;
        case PublishResult::Status::Retry:
            retry_ = std::move(entry);
            return;
        }
    }
}

void EventForwarder::publishDropped() {
    const std::optional<std::uint64_t> connection = sink_.connection();
    if (!connection) return;
    const std::uint64_t count = outbox_.dropped();
    const auto now = Clock::now();
    const bool newConnection = droppedShownOn_ != connection;
    if (!newConnection && (count == droppedShown_ || now - droppedShownAt_ < kSaveEvery)) return;
    if (sink_.publish(topics_.dropped(), std::to_string(count), true).status == PublishResult::Status::Accepted) {
        droppedShownOn_ = connection;
        droppedShown_ = count;
        droppedShownAt_ = now;
    }
}

}  // namespace ks318::bridge
