// The host notifications: connect and disconnect posted on the connect message,
// data notifications sent, synchronously, on the data message.
//
// A stop closes the way to the host: every connection thread carries the epoch
// it was started in, and a notification of an earlier epoch than the current
// one never reaches the host. The stop waits for those already under way, so
// none reaches the host after the stop has returned.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "port/host_notify.h"
#include "port/socket.h"
#include "server/notified_terminal.h"

namespace ks318 {

class Notifications {
public:
    using Epoch = std::uint64_t;

    void setMessages(std::uint32_t connectMessage, std::uint32_t dataMessage) {
        connectMessage_.store(connectMessage);
        dataMessage_.store(dataMessage);
    }
    void setTarget(void *window) {
        target_.setTarget(window);
        notified_.forgetLinks();
    }

    // The epoch a connection thread started now belongs to.
    Epoch epoch() const { return epoch_.load(); }

    // Closes the epoch: no notification of it begins from now on. Then waits, up
    // to `deadline`, until at most `allowed` of its notifications are still under
    // way (a stop made from inside a handler allows its own); a stop on the host's
    // window thread handles the notifications sent to it meanwhile. False when
    // the time ran out first.
    bool close(int allowed, std::chrono::steady_clock::time_point deadline) {
        epoch_.fetch_add(1);
        std::unique_lock lock(idleMutex_);
        for (;;) {
            const auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
            if (idle_.wait_until(lock, slice, [&] { return underWay_.load() <= allowed; })) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            lock.unlock();
            port::handleWaitingHostNotifications();
            lock.lock();
        }
    }

    // wParam: the terminal's IPv4 address (network order); lParam: (number << 16) | 1.
    void connected(Epoch epoch, std::uint32_t address, int number, TerminalId id) {
        link(epoch, address, (static_cast<std::uint32_t>(number) << 16) | 1u, id);
    }
    // wParam: the address; lParam: (handle & 0xFFFF) << 16.
    void disconnected(Epoch epoch, std::uint32_t address, port::SocketHandle handle, TerminalId id) {
        link(epoch, address, lowWord(handle) << 16, id);
    }
    // wParam: the notification code; lParam: (handle & 0xFFFF) | (extra & 0xFFFF) << 16.
    // Returns once the host has handled it.
    void data(Epoch epoch, int code, port::SocketHandle handle, std::int32_t extra, TerminalId id) {
        deliver(epoch, id, [&] {
            const std::uint32_t handleWord = lowWord(handle);
            const bool elsewhere = !port::handlersRunOnNotifyingThread();
            if (elsewhere) notified_.dataSending(handleWord, id);
            target_.send(dataMessage_.load(), static_cast<std::uint32_t>(code), handleWord | (lowWord(extra) << 16));
            if (elsewhere) notified_.dataHandled(handleWord, id);
        });
    }

    // The id of the terminal a notification with these values is about, for a
    // host whose handlers run elsewhere than the notifying thread (a window); 0
    // when none matches.
    TerminalId terminalOf(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
        if (message == dataMessage_.load()) {
            if (TerminalId id = notified_.dataSender(lParam & 0xFFFFu)) return id;
        }
        if (message == connectMessage_.load()) return notified_.claimLink(wParam, lParam);
        return 0;
    }

private:
    static std::uint32_t lowWord(std::int64_t value) { return static_cast<std::uint32_t>(value) & 0xFFFFu; }

    // Counted as under way before the epoch is looked at, so a stop that closes
    // the epoch meanwhile either sees it counted or it sees the epoch closed.
    // Only a closed epoch has a stop waiting to be woken.
    void link(Epoch epoch, std::uint32_t wParam, std::uint32_t lParam, TerminalId id) {
        deliver(epoch, id, [&] {
            const auto post = [&] { target_.post(connectMessage_.load(), wParam, lParam); };
            // Journalled as it is posted, so the host cannot handle it unjournalled.
            if (port::handlersRunOnNotifyingThread())
                post();
            else
                notified_.postLink(wParam, lParam, id, post);
        });
    }

    // The notifying thread names the terminal to a handler that runs on it.
    template <class Notify>
    void deliver(Epoch epoch, TerminalId id, Notify &&notify) {
        underWay_.fetch_add(1);
        if (epoch == epoch_.load()) {
            NotifiedTerminal::Scope handling(id);
            notify();
        }
        underWay_.fetch_sub(1);
        if (epoch != epoch_.load()) {
            std::lock_guard lock(idleMutex_);
            idle_.notify_all();
        }
    }

    std::atomic<std::uint32_t> connectMessage_{0};
    std::atomic<std::uint32_t> dataMessage_{0};
    port::HostNotifier target_;
    NotifiedTerminal notified_;
    std::atomic<Epoch> epoch_{1};
    std::atomic<int> underWay_{0};
    std::mutex idleMutex_;
    std::condition_variable idle_;
};

}  // namespace ks318
