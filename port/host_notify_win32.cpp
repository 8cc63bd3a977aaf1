// Notifications as window messages to the host's window: posted for connect and
// disconnect, sent (the caller waits until the window has handled it) for data.
#include "port/host_notify.h"

#include <windows.h>

namespace ks318::port {

// On Windows the host's window handle itself is kept, in the context field.
void HostNotifier::setTarget(void *window) { store(KqHostTarget{window, nullptr, nullptr}); }

// A null window must reach nobody: PostMessageA would deliver it to the thread.
void HostNotifier::post(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    const HWND window = static_cast<HWND>(current().context);
    if (window != nullptr) PostMessageA(window, message, wParam, static_cast<LPARAM>(lParam));
}

void HostNotifier::send(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    const HWND window = static_cast<HWND>(current().context);
    if (window != nullptr) SendMessageA(window, message, wParam, static_cast<LPARAM>(lParam));
}

// Peeking for sent messages only delivers those that other threads are sending
// to this thread's windows; it takes no posted message from the host's queue.
void handleWaitingHostNotifications() {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

bool handlingHostNotification() { return InSendMessage() != FALSE; }

bool handlersRunOnNotifyingThread() { return false; }

}  // namespace ks318::port
