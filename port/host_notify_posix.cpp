#include "port/host_notify.h"

namespace ks318::port {

void HostNotifier::setTarget(void *window) {
    store(window != nullptr ? *static_cast<const KqHostTarget *>(window) : KqHostTarget{});
}

// The target is copied before the host is called, so a host that restarts the
// server from inside a handler does not deadlock.
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

bool handlersRunOnNotifyingThread() { return true; }

}  // namespace ks318::port
