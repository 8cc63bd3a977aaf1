// The connection thread: greeting, identification, probes and the drop.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ks318.h"
#include "server/connection.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::Frame;
using test::Notification;
using test::TestServer;
using Clock = std::chrono::steady_clock;

TEST(Handshake, GreetsThenAcceptsThenAsksForTheIdentifierAndNothingElse) {
    ServerLimits limits = test::fastLimits();
    limits.receiveLimitMs = 3000;  // no probe during this test
    TestServer server(limits);
    auto terminal = server.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<Frame> frames = terminal->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].wire(), (Bytes{0x02, 0x13, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frames[1].wire(), (Bytes{0x02, 0x15, 0x00, 0x04, 0, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(frames[2].wire(), (Bytes{0x02, 0x1B, 0, 0, 0, 0, 0}));
}

TEST(Handshake, StoresTheIdentificationWord) {
    TestServer server;
    sim::Identity identity;
    identity.version = 32;
    identity.model = 0x0140;
    auto terminal = server.join(identity);
    TerminalRef record = server.server().terminals().get(1);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ident(), 0x00400120u);  // bytes 20 01 40 00
    EXPECT_EQ(record->modelNumber(), 320);
    EXPECT_EQ(record->terminalVersion(), 32);
}

TEST(Handshake, AWrongAnswerEndsTheConnection) {
    TestServer server;
    for (Bytes answer : {sim::encodeFrame(20, Bytes(6, 1)), sim::encodeFrame(21, Bytes(4, 1))}) {
        sim::SimTerminal terminal;
        terminal.onFrame(19, [answer](sim::SimTerminal &self, const Frame &) { self.sendRaw(answer); });
        ASSERT_TRUE(terminal.connect("127.0.0.1", server.port()));
        EXPECT_TRUE(terminal.waitDisconnected(1000));
        EXPECT_TRUE(terminal.framesWithCode(21).empty());
    }
    EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, 1000, 2));
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isConnect(); }).size(), 2u);
    EXPECT_TRUE(server.waitForCount(0));
}

TEST(Handshake, ASilentTerminalHasTheReceiveLimitToIdentify) {
    TestServer server;
    sim::SimTerminal terminal;
    terminal.onFrame(19, nullptr);
    auto start = Clock::now();
    ASSERT_TRUE(terminal.connect("127.0.0.1", server.port()));
    ASSERT_TRUE(terminal.waitDisconnected(3000));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(280));
}

TEST(Probe, SilenceIsProbedTwiceThenTheTerminalIsDropped) {
    TestServer server;  // 300 ms receive limit
    auto terminal = server.join();
    auto start = Clock::now();
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, 2000).has_value());
    auto firstProbe = Clock::now() - start;
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, 2000, 2).has_value());
    auto secondProbe = Clock::now() - start;
    ASSERT_TRUE(terminal->waitDisconnected(2000));
    EXPECT_GE(firstProbe, std::chrono::milliseconds(250));
    EXPECT_GE(secondProbe, std::chrono::milliseconds(550));
    EXPECT_EQ(terminal->framesWithCode(kCodeProbe).size(), 2u);
    EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, 1000));
    EXPECT_TRUE(server.waitForCount(0));
}

TEST(Probe, AnyFrameRestartsTheSilentCount) {
    TestServer server;
    auto terminal = server.join();
    // A frame every 200 ms (below the 300 ms limit): never probed. An unknown code counts too.
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        terminal->send(i % 2 ? 18 : 36, {});
    }
    EXPECT_TRUE(terminal->framesWithCode(kCodeProbe).empty());
    // After one probe, a frame makes the next silence a first one again.
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, 2000).has_value());
    terminal->send(36, {});
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, 2000, 2).has_value());
    EXPECT_FALSE(terminal->disconnected()) << "two probes with a frame between them do not drop";
    ASSERT_TRUE(terminal->waitDisconnected(2000));
}

TEST(Probe, OneTerminalsSilenceDoesNotShortenAnothersTime) {
    TestServer server;
    auto quiet = server.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    auto later = server.join();
    auto laterJoined = Clock::now();
    ASSERT_TRUE(quiet->waitDisconnected(3000));
    EXPECT_FALSE(later->disconnected()) << "dropped together with the other terminal";
    ASSERT_TRUE(later->waitDisconnected(3000));
    // Two silent periods of its own: 2 x 300 ms after its handshake.
    EXPECT_GE(Clock::now() - laterJoined, std::chrono::milliseconds(550));
    EXPECT_LT(Clock::now() - laterJoined, std::chrono::milliseconds(1500));
}

// The real limits, once: a probe after 15 s of silence, another after 30 s, then the drop.
TEST(Probe, RealLimitsProbeAt15And30SecondsAndDrop) {
    test::HostRecorder host;
    ASSERT_EQ(kq_startserverex(host.target(), test::kConnectMessage, test::kDataMessage, "127.0.0.1", 0), 1);
    sim::SimTerminal terminal;
    ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", kq_getserverport()));
    auto start = Clock::now();
    ASSERT_TRUE(terminal.waitForFrame(kCodeProbe, 20000).has_value());
    auto first = Clock::now() - start;
    ASSERT_TRUE(terminal.waitForFrame(kCodeProbe, 20000, 2).has_value());
    auto second = Clock::now() - start;
    ASSERT_TRUE(terminal.waitDisconnected(5000));
    EXPECT_GE(first, std::chrono::milliseconds(14500));
    EXPECT_LE(first, std::chrono::milliseconds(17000));
    EXPECT_GE(second, std::chrono::milliseconds(29500));
    EXPECT_LE(second, std::chrono::milliseconds(33000));
    EXPECT_TRUE(host.waitFor([](const Notification &n) { return n.isDisconnect(); }, 2000));
    EXPECT_EQ(kq_finishserver(), 0);
}

}  // namespace
}  // namespace ks318
