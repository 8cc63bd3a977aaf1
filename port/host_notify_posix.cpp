#include "port/host_notify.h"

namespace ks318::port {

void HostNotifier::setTarget(void *window) {
    std::lock_guard lock(mutex_);
    target_ = window != nullptr ? *static_cast<const KqHostTarget *>(window) : KqHostTarget{};
}

KqHostTarget HostNotifier::current() const {
    std::lock_guard lock(mutex_);
    return target_;
}

// The target is copied out of the lock before calling the host, so a host that
// restarts the server from inside a handler does not deadlock.
void HostNotifier::post(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    KqHostTarget target = current();
    if (target.post != nullptr) target.post(target.context, message, wParam, lParam);
}

void HostNotifier::send(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    KqHostTarget target = current();
    if (target.send != nullptr) target.send(target.context, message, wParam, lParam);
}

void handleWaitingHostNotifications() {}

// Notifications are called on the connection thread itself.
bool handlingHostNotification() { return false; }

}  // namespace ks318::port
