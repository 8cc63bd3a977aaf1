#include "tests/support/host_recorder.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "ks318.h"
#include "tests/support/host_window.h"
#include "tests/support/socket_pair.h"

// Last: the system's socket header, for a receive that only looks (waitReceivable).
#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace ks318::test {

HostRecorder::HostRecorder() : window_(openHostWindow(*this)) {}

HostRecorder::~HostRecorder() = default;

void *HostRecorder::target() { return window_->target(); }

void HostRecorder::posted(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    Notification notification{true, message, wParam, lParam};
    std::function<void(const Notification &)> handler;
    {
        std::lock_guard lock(mutex_);
        handler = postedHandler_;
    }
    if (handler) handler(notification);
    record(notification);
}

void HostRecorder::sent(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    Notification notification{false, message, wParam, lParam};
    std::function<void(const Notification &)> handler;
    {
        std::lock_guard lock(mutex_);
        handler = dataHandler_;
    }
    if (handler) handler(notification);
    record(notification);
}

void HostRecorder::record(const Notification &notification) {
    {
        std::lock_guard lock(mutex_);
        notifications_.push_back(notification);
    }
    changed_.notify_all();
}

std::vector<Notification> HostRecorder::all() const {
    window_->settle();
    std::lock_guard lock(mutex_);
    return notifications_;
}

std::vector<Notification> HostRecorder::matching(const Predicate &predicate) const {
    window_->settle();
    std::lock_guard lock(mutex_);
    std::vector<Notification> result;
    for (const Notification &notification : notifications_)
        if (predicate(notification)) result.push_back(notification);
    return result;
}

bool HostRecorder::waitFor(const Predicate &predicate, int timeoutMs, std::size_t count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        std::size_t seen = 0;
        for (const Notification &notification : notifications_)
            if (predicate(notification)) ++seen;
        return seen >= count;
    });
}

void HostRecorder::clear() {
    std::lock_guard lock(mutex_);
    notifications_.clear();
}

void HostRecorder::onData(std::function<void(const Notification &)> handler) {
    std::lock_guard lock(mutex_);
    dataHandler_ = std::move(handler);
}

void HostRecorder::onPosted(std::function<void(const Notification &)> handler) {
    std::lock_guard lock(mutex_);
    postedHandler_ = std::move(handler);
}

ServerLimits fastLimits() {
    ServerLimits limits;
    limits.receiveLimitMs = 300;
    limits.sendGateLimitMs = 1000;
    limits.outbound.allowanceMs = 500;
    limits.fileAnswer.allowanceMs = 3000;
    limits.stopGraceMs = 400;
    limits.stopWaitMs = 3000;
    return limits;
}

ServerLimits steadyLimits() {
    ServerLimits limits = fastLimits();
    limits.receiveLimitMs = kNoProbeReceiveLimitMs;
    limits.outbound.allowanceMs = kEventWaitMs;
    return limits;
}

void answerProbes(sim::SimTerminal &terminal) {
    constexpr std::uint16_t kProbe = 17;
    constexpr std::uint16_t kOutsideTheCatalogue = 18;
    terminal.onFrame(kProbe, [](sim::SimTerminal &self, const sim::Frame &) { self.send(kOutsideTheCatalogue); });
}

TestServer::TestServer(ServerLimits limits) : server_(limits) {
    if (server_.start(host_.target(), kConnectMessage, kDataMessage, "127.0.0.1", 0) != 1)
        ADD_FAILURE() << "the test server did not start";
    port_ = server_.port();
}

TestServer::~TestServer() { server_.finish(); }

std::unique_ptr<sim::SimTerminal> TestServer::join(sim::Identity identity) {
    auto terminal = std::make_unique<sim::SimTerminal>(std::move(identity));
    EXPECT_TRUE(terminal->connectAndIdentify("127.0.0.1", port_)) << "the terminal did not get through the handshake";
    return terminal;
}

bool TestServer::waitForCount(int count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (server_.terminals().count() != count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace ks318::test

namespace ks318::test {

ExportSession::ExportSession() {
    if (kq_startserverex(host_.target(), kConnectMessage, kDataMessage, "127.0.0.1", 0) != 1)
        ADD_FAILURE() << "the library's server did not start";
    port_ = kq_getserverport();
}

ExportSession::~ExportSession() { kq_finishserver(); }

std::unique_ptr<sim::SimTerminal> ExportSession::join(sim::Identity identity) {
    auto terminal = std::make_unique<sim::SimTerminal>(std::move(identity));
    answerProbes(*terminal);
    EXPECT_TRUE(terminal->connectAndIdentify("127.0.0.1", port_)) << "the terminal did not get through the handshake";
    TerminalTable &table = globalServer().terminals();
    TerminalRef newest = table.get(table.count());
    const std::uint32_t handle = newest ? static_cast<std::uint32_t>(newest->socket()) & 0xFFFF : 0;
    EXPECT_TRUE(host_.waitFor([&](const Notification &n) { return n.isData(KQ_NOTIFY_UID) && n.low() == handle; }, kEventWaitMs));
    return terminal;
}

TerminalRef ExportSession::record(int number) { return globalServer().terminals().get(number); }

}  // namespace ks318::test

namespace ks318::test {

bool waitReceivable(port::SocketHandle socket, int count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<char> look(static_cast<std::size_t>(count > 0 ? count : 1));
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || port::waitReadable(socket, static_cast<int>(left.count())) <= 0) return false;
#ifdef _WIN32
        const int there = recv(static_cast<SOCKET>(socket), look.data(), count, MSG_PEEK);
#else
        const int there = static_cast<int>(recv(static_cast<int>(socket), look.data(), look.size(), MSG_PEEK));
#endif
        if (there >= count) return true;
        if (there <= 0) return false;  // closed or failed: nothing more comes
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the rest is on its way
    }
}

}  // namespace ks318::test
