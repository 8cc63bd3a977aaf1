// Start and stop, the accept side and the host notifications, through the
// exports (as a host uses them) and through the core with short limits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using test::HostRecorder;
using test::kConnectMessage;
using test::kDataMessage;
using test::Notification;
using test::TestServer;
using test::kEventWaitMs;

const std::uint32_t kLoopback = port::inetAddr("127.0.0.1");

TEST(ServerExports, StartStopAndRestartOnTheSamePort) {
    HostRecorder host;
    ASSERT_EQ(kq_getserverport(), 0);
    ASSERT_EQ(kq_startserverex(host.target(), kConnectMessage, kDataMessage, "127.0.0.1", 0), 1);
    const int port = kq_getserverport();
    ASSERT_GT(port, 0);

    // A second start while listening fails; the first server keeps serving.
    EXPECT_EQ(kq_startserverex(host.target(), kConnectMessage, kDataMessage, "127.0.0.1", port), 0);
    EXPECT_EQ(kq_startserverex(host.target(), kConnectMessage, kDataMessage, "127.0.0.1", 0), 0);
    EXPECT_EQ(kq_getserverport(), port);
    sim::SimTerminal terminal;
    EXPECT_TRUE(terminal.connectAndIdentify("127.0.0.1", port));

    EXPECT_EQ(kq_finishserver(), 0);
    EXPECT_EQ(kq_getserverport(), 0);
    EXPECT_TRUE(terminal.waitDisconnected(kEventWaitMs));
    EXPECT_EQ(kq_finishserver(), -1) << "a stop without a running server fails like the sockets library";

    // The same port can be listened on again at once.
    ASSERT_EQ(kq_startserverex(host.target(), kConnectMessage, kDataMessage, "127.0.0.1", port), 1);
    EXPECT_EQ(kq_getserverport(), port);
    EXPECT_EQ(kq_finishserver(), 0);
}

TEST(ServerExports, BadBindAddressFailsTheStart) {
    EXPECT_EQ(kq_startserverex(nullptr, 1, 2, "not an address", 0), 0);
    EXPECT_EQ(kq_getserverport(), 0);
}

TEST(ServerExports, LegacyStartServesTerminalsWithoutAWindowOnThePort16510) {
    if (StartServerKQ318() != 1) GTEST_SKIP() << "port 16510 is in use on this machine";
    EXPECT_EQ(kq_getserverport(), 16510);
    sim::SimTerminal terminal;
    EXPECT_TRUE(terminal.connectAndIdentify("127.0.0.1", 16510));
    EXPECT_EQ(kq_startserver(nullptr, 0, 0), 0) << "16510 is taken by the running server";
    EXPECT_EQ(CloseKQ318(), 0);
    EXPECT_TRUE(terminal.waitDisconnected(kEventWaitMs));
}

TEST(ServerExports, InitCapturesTheWorkingDirectory) {
    const std::string expected = std::filesystem::current_path().string();
    EXPECT_EQ(InitKQ318(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(globalServer().baseDir(), expected);
}

TEST(Notifications, ConnectPostedWithNumberAndAddressDataSentWithHandle) {
    TestServer server(test::steadyLimits());  // no terminal is dropped for silence meanwhile
    auto first = server.join();
    auto second = server.join();
    auto third = server.join();
    HostRecorder &host = server.host();
    ASSERT_TRUE(host.waitFor([](const Notification &n) { return n.isConnect(); }, kEventWaitMs, 3));
    std::vector<Notification> connects = host.matching([](const Notification &n) { return n.isConnect(); });
    for (std::size_t i = 0; i < connects.size(); ++i) {
        EXPECT_EQ(connects[i].message, kConnectMessage);
        EXPECT_EQ(connects[i].wParam, kLoopback);
        EXPECT_EQ(connects[i].high(), i + 1);
    }
    EXPECT_EQ(connects[2].lParam, (3u << 16) | 1u);

    // The handshake's 27 is answered with 28: a data notification with the handle.
    const port::SocketHandle handle = server.server().terminals().get(3)->socket();
    ASSERT_TRUE(host.waitFor([&](const Notification &n) { return n.isData(KQ_NOTIFY_UID) && n.low() == (handle & 0xFFFF); }, kEventWaitMs));

    third->close();
    ASSERT_TRUE(host.waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    Notification gone = host.matching([](const Notification &n) { return n.isDisconnect(); }).front();
    EXPECT_EQ(gone.message, kConnectMessage);
    EXPECT_EQ(gone.wParam, kLoopback);
    EXPECT_EQ(gone.lParam, static_cast<std::uint32_t>((handle & 0xFFFF) << 16));
    EXPECT_TRUE(server.waitForCount(2));
}

TEST(Notifications, ConnectAlwaysPrecedesDisconnect) {
    TestServer server;
    sim::SimTerminal refuser;
    refuser.onFrame(19, [](sim::SimTerminal &self, const sim::Frame &) { self.send(20, {1, 2, 3, 4, 5, 6}); });
    ASSERT_TRUE(refuser.connect("127.0.0.1", server.port()));
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    std::vector<Notification> all = server.host().all();
    ASSERT_GE(all.size(), 2u);
    EXPECT_TRUE(all[0].isConnect());
    EXPECT_TRUE(all[1].isDisconnect());
}

TEST(Lifecycle, StopClosesEveryConnectionWithOneDisconnectEach) {
    TestServer server(test::steadyLimits());  // the stop, not silence, ends the connections
    auto a = server.join(), b = server.join(), c = server.join();
    ASSERT_TRUE(server.waitForCount(3));
    EXPECT_EQ(server.server().finish(), 0);
    // The disconnect notifications have all arrived by the time the stop returns.
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isDisconnect(); }).size(), 3u);
    EXPECT_TRUE(server.server().terminals().empty());
    for (auto *terminal : {a.get(), b.get(), c.get()}) EXPECT_TRUE(terminal->waitDisconnected(kEventWaitMs));
    // Nothing more comes: a short look.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isDisconnect(); }).size(), 3u);
}

TEST(Lifecycle, StopFromInsideADataNotificationDoesNotDeadlock) {
    TestServer server(test::steadyLimits());  // the stop, not silence, ends the connections
    std::atomic<int> result{99};
    server.host().onData([&](const Notification &n) {
        if (n.isData(KQ_NOTIFY_KEY)) result = server.server().finish();
    });
    auto terminal = server.join();
    auto other = server.join();
    auto start = std::chrono::steady_clock::now();
    terminal->send(53, {'k'});
    ASSERT_TRUE(terminal->waitDisconnected(kEventWaitMs));
    EXPECT_TRUE(other->waitDisconnected(kEventWaitMs));
    while (result.load() == 99 && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kEventWaitMs))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "the stop waited for itself";
}

TEST(Lifecycle, AFullTableClosesTheConnectionAndServesTheOthers) {
    ServerLimits limits = test::steadyLimits();  // no terminal is dropped for silence meanwhile
    limits.capacity = 2;
    TestServer server(limits);
    auto a = server.join(), b = server.join();
    sim::SimTerminal refused;
    ASSERT_TRUE(refused.connect("127.0.0.1", server.port()));
    EXPECT_TRUE(refused.waitDisconnected(kEventWaitMs));
    EXPECT_TRUE(refused.frames().empty()) << "a refused terminal is not greeted";
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isConnect(); }).size(), 2u);
    // The accept loop goes on: once a place is free, the next terminal is served.
    b->close();
    ASSERT_TRUE(server.waitForCount(1));
    auto c = server.join();
    EXPECT_TRUE(server.waitForCount(2));
    a->send(53, {'a'});
    EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_KEY); }, kEventWaitMs));
}

TEST(Lifecycle, StartResetsTheKeyBuffer) {
    Server server(test::fastLimits());
    server.keys().push(5, 'x');
    ASSERT_EQ(server.start(nullptr, 1, 2, "127.0.0.1", 0), 1);
    EXPECT_EQ(server.keys().count(), 0);
    EXPECT_EQ(server.finish(), 0);
}

}  // namespace
}  // namespace ks318
