// The way out to a terminal: every frame leaves whole within a deadline of its
// size or ends the connection, and texts and fills never wait behind a long frame.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "media/file_transfer.h"
#include "server/outbound.h"
#include "tests/support/host_recorder.h"
#include "tests/support/socket_pair.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::encodeFrame;
using test::Notification;
using test::TestServer;
using test::kEventWaitMs;
using Clock = std::chrono::steady_clock;

std::int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(FrameTiming, AnAllowanceAndOneSecondPerMinimumRateOfBytes) {
    const FrameTiming standard;
    EXPECT_EQ(standard.deadlineMs(7), 15000);
    EXPECT_EQ(standard.deadlineMs(65535), 15999);
    EXPECT_EQ(standard.deadlineMs(65536), 16000);
    EXPECT_EQ(standard.deadlineMs(6 * 1024 * 1024 + 135), 111002);  // a 6 MB file frame
    EXPECT_EQ(standard.deadlineMs(INT64_MAX / 2000), INT32_MAX) << "a deadline never wraps";
    const FrameTiming answers{30000, 64 * 1024};
    EXPECT_EQ(answers.deadlineMs(132 + 2400000), 30000 + (132 + 2400000) * 1000LL / 65536);
}

TEST(SendAll, MissesItsDeadlineAgainstAPeerThatNeverReads) {
    test::SocketPair pair;
    std::vector<std::uint8_t> block(64 * 1024 * 1024, 0x5A);  // far more than the sockets can hold
    const auto start = Clock::now();
    EXPECT_EQ(sendAll(pair.server, block.data(), static_cast<int>(block.size()), Deadline::after(300)), -1);
    EXPECT_GE(msSince(start), 290);
    EXPECT_LT(msSince(start), 5000);
}

// A terminal that identifies itself and then reads nothing more, until the test
// drains what reached it.
class StuckTerminal {
public:
    explicit StuckTerminal(int port) : socket_(port::connectTcp("127.0.0.1", port)) {
        std::uint8_t greeting[7];
        EXPECT_EQ(test::readExactly(socket_, greeting, 7, kEventWaitMs), 7);
        const Bytes identify = encodeFrame(20, {32, 0x01, 0x40, 0});
        EXPECT_EQ(port::sendSome(socket_, identify.data(), static_cast<int>(identify.size())), 11);
    }
    ~StuckTerminal() { port::closeSocket(socket_); }

    // Everything that reached the terminal after the greeting, up to the end of
    // the connection (which the server has given up by then).
    Bytes drain() {
        Bytes bytes;
        std::uint8_t piece[64 * 1024];
        for (;;) {
            if (port::waitReadable(socket_, kEventWaitMs) <= 0) break;
            const int received = port::receiveSome(socket_, piece, sizeof piece);
            if (received <= 0) break;
            bytes.insert(bytes.end(), piece, piece + received);
        }
        return bytes;
    }

private:
    port::SocketHandle socket_;
};

class FailedFrame : public ::testing::Test {
protected:
    static ServerLimits limits() {
        ServerLimits limits = test::steadyLimits();  // no probe comes between the frames under test
        limits.outbound = FrameTiming{300, 1024 * 1024};
        return limits;
    }

    TestServer server_{limits()};
};

TEST_F(FailedFrame, EndsTheConnectionAndNothingFollowsTheCutFrame) {
    StuckTerminal stuck(server_.port());
    ASSERT_TRUE(server_.waitForCount(1));
    ASSERT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isConnect(); }, kEventWaitMs));
    TerminalRef record = server_.server().terminals().get(1);
    ASSERT_TRUE(record);

    const Bytes file(6 * 1024 * 1024, 0x44);
    const auto start = Clock::now();
    std::atomic<bool> fileEnded{false};
    std::int32_t fileResult = 0;
    std::thread sender([&] {
        fileResult = media::sendFileFromMemory(*record, 1000, "big.bin", file.data(), static_cast<std::uint32_t>(file.size()));
        fileEnded = true;
    });
    // Texts queued behind the frame that is about to fail are dropped with it.
    while (!record->sendGate.isBusy() && msSince(start) < kEventWaitMs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint8_t text[170] = {'q'};
    int queued = 0;
    for (int i = 0; i < 10 && !fileEnded; ++i) queued += sendUngatedFrame(*record, 35, text, sizeof text) == 177;
    sender.join();

    EXPECT_EQ(fileResult, -1);
    // 300 ms + 1 s per MiB of the 6 MiB frame, and some room for a busy machine.
    EXPECT_LT(msSince(start), 6400 + 5000);
    EXPECT_GT(queued, 0);
    EXPECT_EQ(record->outbound.queuedFrames(), 0);
    EXPECT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs));
    EXPECT_TRUE(server_.waitForCount(0));

    // Nothing more goes out on the given-up connection, and nothing waits for it.
    const auto after = Clock::now();
    EXPECT_EQ(sendGatedFrame(*record, 1000, 17, nullptr, 0), -1);
    EXPECT_EQ(sendUngatedFrame(*record, 35, text, sizeof text), -1);
    EXPECT_LT(msSince(after), 500);

    // The terminal got the handshake's frames and a cut-off part of the file
    // frame, and nothing after the cut: no text, no probe, no later frame.
    Bytes expected = sim::concat({encodeFrame(21, sim::le32(1)), encodeFrame(27),
                                  encodeFrame(99, static_cast<std::int32_t>(128 + file.size()), sim::field("big.bin", 128)),
                                  file});
    const Bytes arrived = stuck.drain();
    ASSERT_GT(arrived.size(), 18u + 135u);
    ASSERT_LT(arrived.size(), expected.size());
    EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), expected.begin()))
        << "the bytes that arrived are exactly the start of the frames sent";
}

class ShortFrames : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = server_.join();
        record_ = server_.server().terminals().get(1);
        ASSERT_TRUE(record_);
        terminal_->clearFrames();
    }

    static Bytes textRecord(int index) {
        Bytes record(170, 0);
        record[0] = static_cast<std::uint8_t>(index);
        record[4] = 'T';
        record[5] = static_cast<std::uint8_t>('0' + index % 10);
        return record;
    }

    TestServer server_{test::steadyLimits()};  // no probe comes between the frames under test
    std::unique_ptr<sim::SimTerminal> terminal_;
    TerminalRef record_;
};

TEST_F(ShortFrames, NeverWaitBehindALongFrameAndFollowItInOrder) {
    // A terminal on a slow link: an 8 MB file takes it half a minute.
    terminal_->limitReadRate(256 * 1024);
    const Bytes file(8 * 1024 * 1024, 0x66);
    std::atomic<bool> fileEnded{false};
    std::int32_t fileResult = 0;
    std::thread sender([&] {
        fileResult = media::sendFileFromMemory(*record_, 1000, "slow.bin", file.data(), static_cast<std::uint32_t>(file.size()));
        fileEnded = true;
    });
    const auto start = Clock::now();
    while (!record_->sendGate.isBusy() && msSince(start) < kEventWaitMs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Well into the file's bytes. Nothing tells when the file's writer has its
    // frame on the wire: a second is far more than it takes to start, and far
    // less than the half minute the file takes.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));

    // From another thread, texts and fills in turn: each returns at once.
    constexpr int kCalls = OutboundLane::kQueuedFramesLimit;
    std::vector<int> results;
    std::int64_t slowestMs = 0;
    std::thread host([&] {
        for (int i = 0; i < kCalls + 1; ++i) {
            const auto call = Clock::now();
            const Bytes text = textRecord(i);
            std::uint8_t fill[2] = {static_cast<std::uint8_t>(i), 0};
            results.push_back(i % 2 == 0 ? sendUngatedFrame(*record_, 35, text.data(), 170)
                                         : sendUngatedFrame(*record_, 33, fill, 2));
            slowestMs = std::max(slowestMs, msSince(call));
        }
    });
    host.join();
    EXPECT_FALSE(fileEnded) << "the calls were made while the file was still on its way";
    EXPECT_LT(slowestMs, 1000);
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kCalls + 1));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)], i % 2 == 0 ? 177 : 9) << "call " << i;
    EXPECT_EQ(results.back(), -1) << "the queue holds " << kCalls << " frames; one more is refused";

    terminal_->limitReadRate(0);
    sender.join();
    EXPECT_EQ(fileResult, static_cast<std::int32_t>(file.size()));
    ASSERT_TRUE(terminal_->waitForFrameCount(1 + kCalls, kEventWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing more comes: a short look
    const std::vector<sim::Frame> frames = terminal_->frames();
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(1 + kCalls));
    EXPECT_EQ(frames[0].code, 99);
    EXPECT_TRUE(frames[0].payload.size() == 128 + file.size() &&
                std::equal(file.begin(), file.end(), frames[0].payload.begin() + 128))
        << "the file arrived whole, with nothing inside it";
    for (int i = 0; i < kCalls; ++i) {
        const sim::Frame &frame = frames[static_cast<std::size_t>(1 + i)];
        if (i % 2 == 0) {
            EXPECT_EQ(frame.code, 35) << "frame " << i;
            EXPECT_EQ(frame.payload, textRecord(i)) << "frame " << i;
        } else {
            EXPECT_EQ(frame.code, 33) << "frame " << i;
            EXPECT_EQ(frame.payload, (Bytes{static_cast<std::uint8_t>(i), 0})) << "frame " << i;
        }
    }
    EXPECT_FALSE(terminal_->disconnected());
}

TEST_F(ShortFrames, GoOutAtOnceWhenNothingElseIsSent) {
    const Bytes text = textRecord(3);
    EXPECT_EQ(sendUngatedFrame(*record_, 35, text.data(), 170), 177);
    const std::uint8_t fill[2] = {0x01, 0x00};
    EXPECT_EQ(sendUngatedFrame(*record_, 33, fill, 2), 9);
    ASSERT_TRUE(terminal_->waitForFrameCount(2, kEventWaitMs));
    EXPECT_EQ(terminal_->frames()[0].wire(), encodeFrame(35, text));
    EXPECT_EQ(terminal_->frames()[1].wire(), encodeFrame(33, Bytes{0x01, 0x00}));
    EXPECT_EQ(record_->outbound.queuedFrames(), 0);
    // A payload larger than a text record is no short frame.
    const Bytes tooLong(171, 0);
    EXPECT_EQ(sendUngatedFrame(*record_, 35, tooLong.data(), 171), 0);
}

}  // namespace
}  // namespace ks318
