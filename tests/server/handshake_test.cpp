// The connection thread: greeting, identification, probes and the drop.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
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
using test::kEventWaitMs;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(Handshake, GreetsThenAcceptsThenAsksForTheIdentifierAndNothingElse) {
    TestServer server(test::steadyLimits());  // no probe during this test
    auto terminal = server.join();
    // Nothing more comes: a short look, since a frame would come at once.
    std::this_thread::sleep_for(milliseconds(300));
    std::vector<Frame> frames = terminal->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].wire(), (Bytes{0x02, 0x13, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frames[1].wire(), (Bytes{0x02, 0x15, 0x00, 0x04, 0, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(frames[2].wire(), (Bytes{0x02, 0x1B, 0, 0, 0, 0, 0}));
}

TEST(Handshake, StoresTheIdentificationWord) {
    TestServer server(test::steadyLimits());  // the terminal stays, however slowly the test goes
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
        EXPECT_TRUE(terminal.waitDisconnected(kEventWaitMs));
        EXPECT_TRUE(terminal.framesWithCode(21).empty());
    }
    EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs, 2));
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isConnect(); }).size(), 2u);
    EXPECT_TRUE(server.waitForCount(0));
}

TEST(Handshake, ASilentTerminalHasTheReceiveLimitToIdentify) {
    TestServer server;
    sim::SimTerminal terminal;
    terminal.onFrame(19, nullptr);
    auto start = Clock::now();
    ASSERT_TRUE(terminal.connect("127.0.0.1", server.port()));
    ASSERT_TRUE(terminal.waitDisconnected(kEventWaitMs));
    EXPECT_GE(Clock::now() - start, milliseconds(280));
}

TEST(Probe, SilenceIsProbedTwiceThenTheTerminalIsDropped) {
    TestServer server;  // 300 ms receive limit
    // Times count from before the handshake, which the server's silence
    // follows: a slow return from the join cannot make them look short.
    auto start = Clock::now();
    auto terminal = server.join();
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, kEventWaitMs).has_value());
    auto firstProbe = Clock::now() - start;
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, kEventWaitMs, 2).has_value());
    auto secondProbe = Clock::now() - start;
    ASSERT_TRUE(terminal->waitDisconnected(kEventWaitMs));
    EXPECT_GE(firstProbe, milliseconds(250));
    EXPECT_GE(secondProbe, milliseconds(550));
    EXPECT_EQ(terminal->framesWithCode(kCodeProbe).size(), 2u);
    EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    EXPECT_TRUE(server.waitForCount(0));
}

TEST(Probe, AnyFrameRestartsTheSilentCount) {
    TestServer server;  // 300 ms receive limit
    const milliseconds limit(server.server().limits().receiveLimitMs);
    // The server's silence after a frame starts once the frame has left here
    // (after the handshake, once the terminal has had the request 27 it answers),
    // and a frame that left less than a limit later arrived before that silence
    // ended. The clock here tells whether this machine kept the pauses short
    // enough for the check.
    std::mutex mutex;
    Clock::time_point requestArrived = Clock::now();
    auto terminal = std::make_unique<sim::SimTerminal>();
    terminal->observeFrames([&](sim::SimTerminal::Direction direction, const Frame &frame) {
        std::lock_guard lock(mutex);
        if (direction == sim::SimTerminal::Direction::Received && frame.code == 27) requestArrived = Clock::now();
    });
    ASSERT_TRUE(terminal->connectAndIdentify("127.0.0.1", server.port()));
    terminal->observeFrames(nullptr);
    Clock::time_point silenceFrom;
    {
        std::lock_guard lock(mutex);
        silenceFrom = requestArrived;
    }
    bool pausesKept = true;
    // A frame every 200 ms (below the 300 ms limit): never probed. An unknown code counts too.
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(milliseconds(200));
        const auto leaving = Clock::now();
        terminal->send(i % 2 ? 18 : 36, {});
        pausesKept = pausesKept && Clock::now() - silenceFrom < limit;
        silenceFrom = leaving;
    }
    if (!pausesKept) GTEST_SKIP() << "this machine stretched a 200 ms pause to the receive limit";
    EXPECT_TRUE(terminal->framesWithCode(kCodeProbe).empty());
    // After one probe, a frame makes the next silence a first one again. The
    // probe came a limit after the last frame and a drop would come a limit
    // after the probe: the frame must leave within two limits of the last one.
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, kEventWaitMs).has_value());
    const auto leaving = Clock::now();
    terminal->send(36, {});
    if (Clock::now() - silenceFrom >= 2 * limit) GTEST_SKIP() << "this machine was too slow to answer the probe in time";
    ASSERT_TRUE(terminal->waitForFrame(kCodeProbe, kEventWaitMs, 2).has_value());
    // Two limits after the frame left, at the earliest, the terminal is dropped.
    if (Clock::now() - leaving < 2 * limit) {
        EXPECT_FALSE(terminal->disconnected()) << "two probes with a frame between them do not drop";
    }
    ASSERT_TRUE(terminal->waitDisconnected(kEventWaitMs));
    EXPECT_EQ(terminal->framesWithCode(kCodeProbe).size(), 3u) << "two probes after the frame, the second with the drop";
}

TEST(Probe, OneTerminalsSilenceDoesNotShortenAnothersTime) {
    TestServer server;
    const milliseconds limit(server.server().limits().receiveLimitMs);
    auto quiet = server.join();
    std::this_thread::sleep_for(milliseconds(400));  // the later terminal's silence starts later
    // Its drop is at least two limits after its handshake, so at least that long
    // after this; and at most that long after the join has returned.
    auto laterJoining = Clock::now();
    auto later = server.join();
    auto laterJoined = Clock::now();
    ASSERT_TRUE(quiet->waitDisconnected(kEventWaitMs));
    if (Clock::now() - laterJoining < 2 * limit) {
        EXPECT_FALSE(later->disconnected()) << "dropped together with the other terminal";
    }
    ASSERT_TRUE(later->waitDisconnected(kEventWaitMs));
    // Two silent periods of its own: 2 x 300 ms after its handshake.
    EXPECT_GE(Clock::now() - laterJoining, milliseconds(550));
    EXPECT_LT(Clock::now() - laterJoined, milliseconds(1500));
}

// The real limits, once: a probe after 15 s of silence, another after 30 s, then the drop.
TEST(Probe, RealLimitsProbeAt15And30SecondsAndDrop) {
    test::HostRecorder host;
    ASSERT_EQ(kq_startserverex(host.target(), test::kConnectMessage, test::kDataMessage, "127.0.0.1", 0), 1);
    sim::SimTerminal terminal;
    // Lower bounds count from before the handshake, upper ones from after it.
    const auto connecting = Clock::now();
    ASSERT_TRUE(terminal.connectAndIdentify("127.0.0.1", kq_getserverport()));
    const auto identified = Clock::now();
    ASSERT_TRUE(terminal.waitForFrame(kCodeProbe, 15000 + kEventWaitMs).has_value());
    const auto first = Clock::now();
    ASSERT_TRUE(terminal.waitForFrame(kCodeProbe, 15000 + kEventWaitMs, 2).has_value());
    const auto second = Clock::now();
    ASSERT_TRUE(terminal.waitDisconnected(kEventWaitMs));
    EXPECT_GE(first - connecting, milliseconds(14500));
    EXPECT_LE(first - identified, milliseconds(17000));
    EXPECT_GE(second - connecting, milliseconds(29500));
    EXPECT_LE(second - identified, milliseconds(33000));
    EXPECT_TRUE(host.waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    EXPECT_EQ(kq_finishserver(), 0);
}

}  // namespace
}  // namespace ks318
