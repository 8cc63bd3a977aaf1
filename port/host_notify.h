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
    KqHostTarget current() const;

    // Held only to copy the target in or out: every data notification reads it.
    class CopyGuard {
    public:
        explicit CopyGuard(std::atomic_flag &gate) : gate_(gate) {
            while (gate_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
        }
        ~CopyGuard() { gate_.clear(std::memory_order_release); }
        CopyGuard(const CopyGuard &) = delete;
        CopyGuard &operator=(const CopyGuard &) = delete;

    private:
        std::atomic_flag &gate_;
    };

    mutable std::atomic_flag gate_;
    KqHostTarget target_{};
};

// Called by a thread that waits for connection threads: when it is the thread of
// the host's window, the notifications they are sending it are handled now.
// Nothing to do where notifications are plain calls.
void handleWaitingHostNotifications();

// True on a host thread that is handling a notification sent by a connection
// thread (which waits for it), where that is not the connection thread itself.
bool handlingHostNotification();

}  // namespace ks318::port
