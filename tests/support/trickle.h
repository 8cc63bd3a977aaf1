// A terminal on a slow link: bytes sent in small pieces with pauses between them,
// and when each piece left, so that a test can tell what the server can have
// seen of the pauses on a machine that stretched them.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/sim_terminal.h"

namespace ks318::test {

// When pieces of bytes left, and what the server can have seen of the pauses
// between them. A piece is there for the server no earlier than it began to
// leave and no later than it had left (loopback): the server waited for the next
// piece at most from one piece beginning to leave until the next had left.
class PieceTimes {
public:
    using Clock = std::chrono::steady_clock;

    // `from`: when the bytes before the first piece (a header, say) began to leave.
    explicit PieceTimes(Clock::time_point from = Clock::now()) : from_(from) {}

    void leaving() {
        std::lock_guard lock(mutex_);
        leaving_ = Clock::now();
    }
    void left() {
        std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        longest_ = std::max(longest_, now - waitFrom_());
        waitStart_ = leaving_;
        last_ = now;
        any_ = true;
    }
    void finished() {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }

    // The longest the server can have waited for a piece so far; while pieces
    // are still to come, the wait for the next one counts up to now.
    std::chrono::milliseconds longestWait() const {
        std::lock_guard lock(mutex_);
        Clock::duration longest = longest_;
        if (!finished_) longest = std::max(longest, Clock::now() - waitFrom_());
        return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
    }
    // From `from` until the last piece had left (until now while pieces are still to come).
    std::chrono::milliseconds span() const {
        std::lock_guard lock(mutex_);
        const Clock::time_point end = finished_ ? (any_ ? last_ : from_) : Clock::now();
        return std::chrono::duration_cast<std::chrono::milliseconds>(end - from_);
    }

private:
    Clock::time_point waitFrom_() const { return any_ ? waitStart_ : from_; }

    mutable std::mutex mutex_;
    const Clock::time_point from_;
    Clock::time_point leaving_{};
    Clock::time_point waitStart_{};
    Clock::time_point last_{};
    Clock::duration longest_{};
    bool any_ = false;
    bool finished_ = false;
};

// Sends `bytes` in pieces of `pieceBytes` from the calling thread, pausing
// `pause` before each piece but the first, as SimTerminal::sendInPieces does,
// and notes in `times` when each left. False when the connection failed.
inline bool sendInTimedPieces(sim::SimTerminal &terminal, const sim::Bytes &bytes, std::size_t pieceBytes,
                              std::chrono::milliseconds pause, PieceTimes &times) {
    bool sent = true;
    for (std::size_t offset = 0; offset < bytes.size() && sent; offset += pieceBytes) {
        if (offset > 0) std::this_thread::sleep_for(pause);
        const std::size_t count = std::min(pieceBytes, bytes.size() - offset);
        times.leaving();
        sent = terminal.sendRaw(sim::Bytes(bytes.begin() + offset, bytes.begin() + offset + count));
        if (sent) times.left();
    }
    times.finished();
    return sent;
}

// Sends `bytes` in pieces of `pieceBytes` from its own thread, pausing `pause`
// before each piece; stops when the connection fails, all were sent, or it is
// stopped (at the latest when destroyed).
class Trickle {
public:
    using Clock = std::chrono::steady_clock;

    // `from`: when the bytes before the first piece began to leave (see PieceTimes).
    Trickle(sim::SimTerminal &terminal, sim::Bytes bytes, std::size_t pieceBytes, std::chrono::milliseconds pause,
            Clock::time_point from = Clock::now())
        : terminal_(terminal), bytes_(std::move(bytes)), pieceBytes_(pieceBytes), pause_(pause), times_(from),
          thread_([this] { run(); }) {}
    ~Trickle() { stop(); }
    Trickle(const Trickle &) = delete;
    Trickle &operator=(const Trickle &) = delete;

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    std::size_t bytesSent() const { return sent_.load(); }
    const PieceTimes &times() const { return times_; }

private:
    void run() {
        for (std::size_t offset = 0; offset < bytes_.size(); offset += pieceBytes_) {
            {
                std::unique_lock lock(mutex_);
                if (wake_.wait_for(lock, pause_, [this] { return stopping_; })) break;
            }
            const std::size_t count = std::min(pieceBytes_, bytes_.size() - offset);
            times_.leaving();
            if (!terminal_.sendRaw(sim::Bytes(bytes_.begin() + offset, bytes_.begin() + offset + count))) break;
            times_.left();
            sent_ += count;
        }
        times_.finished();
    }

    sim::SimTerminal &terminal_;
    const sim::Bytes bytes_;
    const std::size_t pieceBytes_;
    const std::chrono::milliseconds pause_;
    PieceTimes times_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;  // last: it starts once the rest is ready
};

}  // namespace ks318::test
