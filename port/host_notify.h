// The host's notification target: the two operations the server needs from it,
// post (returns at once) and send (returns once the host has handled the message).
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "ks318.h"

namespace ks318::port {

class HostNotifier {
public:
    // Takes the target the host gave at start: on Windows a window handle, elsewhere
    // a KqHostTarget that is copied here. Null means nobody is notified.
    void setTarget(void *window);

    void post(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    void send(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);

private:
    // One copy without a lock; false when a writer was at work meanwhile.
    bool tryCopy(KqHostTarget &target) const {
        const std::uint32_t before = version_.load(std::memory_order_acquire);
        target = KqHostTarget{context_.load(std::memory_order_relaxed), post_.load(std::memory_order_relaxed),
                              send_.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        return (before & 1u) == 0 && version_.load(std::memory_order_relaxed) == before;
    }
    KqHostTarget current() const {
        KqHostTarget target;
        return tryCopy(target) ? target : copyOnceReplaced();
    }
    // Kept out of line so that the common read stays a few instructions.
    KqHostTarget copyOnceReplaced() const;
    void store(const KqHostTarget &target);

    // Every data notification reads the target and a restart may replace it
    // meanwhile: readers copy it without a lock and copy again if a writer was
    // at work (a sequence count, odd while writing), so the common read costs
    // no locked instruction.
    std::atomic<std::uint32_t> version_{0};
    std::atomic_flag writing_;
    std::atomic<void *> context_{nullptr};
    std::atomic<decltype(KqHostTarget::post)> post_{nullptr};
    std::atomic<decltype(KqHostTarget::send)> send_{nullptr};
};

// Called by a thread that waits for connection threads: when it is the thread of
// the host's window, the notifications they are sending it are handled now.
// Nothing to do where notifications are plain calls.
void handleWaitingHostNotifications();

// True where the host's handlers run on the thread that notifies (a
// KqHostTarget's functions are plain calls); false where they run on the
// thread of the host's window.
bool handlersRunOnNotifyingThread();

// True on a host thread that is handling a notification sent by a connection
// thread (which waits for it), where that is not the connection thread itself.
bool handlingHostNotification();

}  // namespace ks318::port
