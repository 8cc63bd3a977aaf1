// A terminal on a slow link: bytes sent in small pieces with pauses between them.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "sim/sim_terminal.h"

namespace ks318::test {

// Sends `bytes` in pieces of `pieceBytes` from its own thread, pausing `pause`
// before each piece; stops when the connection fails, all were sent, or it is
// stopped (at the latest when destroyed).
class Trickle {
public:
    Trickle(sim::SimTerminal &terminal, sim::Bytes bytes, std::size_t pieceBytes, std::chrono::milliseconds pause)
        : terminal_(terminal), bytes_(std::move(bytes)), pieceBytes_(pieceBytes), pause_(pause),
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

private:
    void run() {
        for (std::size_t offset = 0; offset < bytes_.size(); offset += pieceBytes_) {
            {
                std::unique_lock lock(mutex_);
                if (wake_.wait_for(lock, pause_, [this] { return stopping_; })) return;
            }
            const std::size_t count = std::min(pieceBytes_, bytes_.size() - offset);
            if (!terminal_.sendRaw(sim::Bytes(bytes_.begin() + offset, bytes_.begin() + offset + count))) return;
            sent_ += count;
        }
    }

    sim::SimTerminal &terminal_;
    const sim::Bytes bytes_;
    const std::size_t pieceBytes_;
    const std::chrono::milliseconds pause_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;  // last: it starts once the rest is ready
};

}  // namespace ks318::test
