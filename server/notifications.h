// The host notifications: connect and disconnect posted on the connect message,
// data notifications sent, synchronously, on the data message.
#pragma once

#include <atomic>
#include <cstdint>

#include "port/host_notify.h"
#include "port/socket.h"

namespace ks318 {

class Notifications {
public:
    void setMessages(std::uint32_t connectMessage, std::uint32_t dataMessage) {
        connectMessage_.store(connectMessage);
        dataMessage_.store(dataMessage);
    }
    void setTarget(void *window) { target_.setTarget(window); }

    // wParam: the terminal's IPv4 address (network order); lParam: (number << 16) | 1.
    void connected(std::uint32_t address, int number) {
        target_.post(connectMessage_.load(), address, (static_cast<std::uint32_t>(number) << 16) | 1u);
    }
    // wParam: the address; lParam: (handle & 0xFFFF) << 16.
    void disconnected(std::uint32_t address, port::SocketHandle handle) {
        target_.post(connectMessage_.load(), address, lowWord(handle) << 16);
    }
    // wParam: the notification code; lParam: (handle & 0xFFFF) | (extra & 0xFFFF) << 16.
    // Returns once the host has handled it.
    void data(int code, port::SocketHandle handle, std::int32_t extra) {
        target_.send(dataMessage_.load(), static_cast<std::uint32_t>(code),
                     lowWord(handle) | (lowWord(extra) << 16));
    }

private:
    static std::uint32_t lowWord(std::int64_t value) { return static_cast<std::uint32_t>(value) & 0xFFFFu; }

    std::atomic<std::uint32_t> connectMessage_{0};
    std::atomic<std::uint32_t> dataMessage_{0};
    port::HostNotifier target_;
};

}  // namespace ks318
