// The one-byte gates of the server: taken by an atomic test-and-set, released by clearing.
#pragma once

#include <atomic>
#include <thread>

#include "port/clock.h"

namespace ks318 {

// A gate held only for a short copy; takers spin until it is free.
class SpinGate {
public:
    void take() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
            while (flag_.test(std::memory_order_relaxed)) std::this_thread::yield();
        }
    }
    bool tryTake() { return !flag_.test_and_set(std::memory_order_acquire); }
    void release() { flag_.clear(std::memory_order_release); }
    bool isTaken() const { return flag_.test(std::memory_order_acquire); }

private:
    std::atomic_flag flag_;
};

class SpinGuard {
public:
    explicit SpinGuard(SpinGate &gate) : gate_(gate) { gate_.take(); }
    ~SpinGuard() { gate_.release(); }
    SpinGuard(const SpinGuard &) = delete;
    SpinGuard &operator=(const SpinGuard &) = delete;

private:
    SpinGate &gate_;
};

// The send gate of a terminal: held for one whole outbound frame (and while a
// file arrives from the terminal). Waiters poll it every millisecond for a limit.
class SendGate {
public:
    // Takes the gate, polling every 1 ms for at most limitMs. False when it stayed busy.
    bool take(int limitMs) {
        const std::uint64_t start = port::tickMs();
        while (!gate_.tryTake()) {
            if (port::tickMs() - start >= static_cast<std::uint64_t>(limitMs)) return false;
            port::sleepMs(1);
        }
        return true;
    }
    // Waits until the gate is free without taking it. False when it stayed busy.
    bool waitFree(int limitMs) const {
        if (!gate_.isTaken()) return true;  // the usual case, without reading the clock
        const std::uint64_t start = port::tickMs();
        while (gate_.isTaken()) {
            if (port::tickMs() - start >= static_cast<std::uint64_t>(limitMs)) return false;
            port::sleepMs(1);
        }
        return true;
    }
    void release() { gate_.release(); }
    bool isBusy() const { return gate_.isTaken(); }

private:
    SpinGate gate_;
};

}  // namespace ks318
