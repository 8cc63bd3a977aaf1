// Terminals that send what no terminal should: the connection stays in step,
// nothing is overrun, and other terminals keep being served.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "server/connection.h"
#include "server/outbound.h"
#include "tests/support/host_recorder.h"
#include "tests/support/process_usage.h"
#include "tests/support/socket_pair.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::encodeFrame;
using sim::le16;
using sim::le32;
using test::Notification;
using test::TestServer;
using test::kEventWaitMs;

class Hostile : public ::testing::Test {
protected:
    explicit Hostile(ServerLimits limits = test::fastLimits()) : server_(limits) {}

    void SetUp() override {
        terminal_ = server_.join();
        // The terminal stays however slowly the test goes: it answers probes. A
        // test that wants it dropped for silence stops that first.
        test::answerProbes(*terminal_);
        ASSERT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isData(28); }, kEventWaitMs));
        server_.host().clear();
    }

    // A well-formed key frame after the hostile bytes must be understood.
    void expectStillInStep(std::uint8_t key = 'k') {
        terminal_->send(53, {key});
        EXPECT_TRUE(server_.host().waitFor(
            [&](const Notification &n) { return n.isData(53) && n.high() == key; }, kEventWaitMs))
            << "the frame after the hostile one was not understood";
        EXPECT_FALSE(terminal_->disconnected());
    }

    std::size_t dataCount() {
        return server_.host().matching([](const Notification &n) { return !n.posted; }).size();
    }

    test::DescriptorWatch descriptors_;  // every test leaves no descriptor behind
    TestServer server_;  // 300 ms receive limit
    std::unique_ptr<sim::SimTerminal> terminal_;
};

// A terminal on a slow link, against a server that gives it all the time it
// needs: no time limit ends its frames, whatever this machine does to the pauses.
class HostileSlowLink : public Hostile {
protected:
    HostileSlowLink() : Hostile(test::steadyLimits()) {}
};

TEST_F(Hostile, BadStartByteAndCodeZeroAreIgnored) {
    terminal_->sendRaw({0x03, 53, 0, 1, 0, 0, 0});
    terminal_->sendRaw(encodeFrame(0, 0));
    expectStillInStep();
    EXPECT_EQ(dataCount(), 1u);
}

TEST_F(Hostile, NegativeAndHugeLengthsOnRecordCodes) {
    for (std::uint16_t code : {24, 26, 28, 69, 83, 124, 148, 154, 162}) {
        terminal_->sendRaw(encodeFrame(code, -1));
        terminal_->sendRaw(encodeFrame(code, 389, Bytes(389, 0x41)));
    }
    expectStillInStep();
    EXPECT_EQ(dataCount(), 1u) << "frames longer than the frame buffer are dropped whole";
}

TEST_F(Hostile, LongPayloadsOfUnknownAndFixedCodesAreSkipped) {
    terminal_->sendRaw(encodeFrame(5000, 65536, Bytes(65536, 0x02)));
    terminal_->sendRaw(encodeFrame(36, 70000, Bytes(70000, 0x02)));
    terminal_->sendRaw(encodeFrame(167, 8, concat({le32(9), Bytes{0x02, 0x35, 0x00, 0x01}})));
    expectStillInStep();
    EXPECT_EQ(server_.server().terminals().get(1)->events.top(), 0) << "167 took its four bytes";
}

TEST_F(Hostile, AShortHeaderLengthOnAFixedCodeStillReadsTheFixedCount) {
    terminal_->sendRaw(concat({encodeFrame(171, 0), le32(0x00010005)}));
    expectStillInStep();
    EXPECT_EQ(server_.server().terminals().get(1)->sensorStatus.load(), 0x00010005);
}

TEST_F(HostileSlowLink, HeaderAndPayloadInOneBytePiecesArrive) {
    Bytes frame = encodeFrame(83, concat({le16(4), {'a', 'b', 'c', 'd'}}));
    ASSERT_TRUE(terminal_->sendInPieces(frame, 1, 25));
    EXPECT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isData(83); }, kEventWaitMs));
    expectStillInStep();
}

TEST_F(Hostile, AnAnnouncedPayloadThatNeverComesIsGivenUpInBoundedTime) {
    terminal_->onFrame(kCodeProbe, nullptr);  // silent from now on
    const auto start = std::chrono::steady_clock::now();
    terminal_->sendRaw(encodeFrame(9999, 0x7FFFFFFF, Bytes(100, 1)));
    // The connection is silent from then on: given up, probed, dropped.
    EXPECT_TRUE(terminal_->waitDisconnected(kEventWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000))
        << "three limits of 300 ms, and room for a busy machine";
    EXPECT_TRUE(server_.waitForCount(0));
}

TEST_F(Hostile, ATrickleOfBytesIsStillDroppedInBoundedTime) {
    terminal_->onFrame(kCodeProbe, nullptr);  // nothing but the trickle from now on
    // One byte per 200 ms against a 300 ms limit: headers never complete in time.
    Bytes stream = encodeFrame(83, concat({le16(100), Bytes(100, 1)}));
    const auto start = std::chrono::steady_clock::now();
    std::thread trickle([&] { terminal_->sendInPieces(stream, 1, 200); });
    EXPECT_TRUE(terminal_->waitDisconnected(kEventWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(8000))
        << "two silent periods, and room for a busy machine";
    trickle.join();
}

TEST_F(Hostile, ClosingInTheMiddleOfEveryFrameKindEndsOnlyThatConnection) {
    auto other = server_.join();
    test::answerProbes(*other);
    for (std::uint16_t code : {20, 26, 42, 53, 69, 83, 98, 148, 167, 5000}) {
        sim::SimTerminal broken;
        ASSERT_TRUE(broken.connectAndIdentify("127.0.0.1", server_.port()));
        Bytes frame = encodeFrame(code, 300, Bytes(300, 7));
        broken.sendRaw(Bytes(frame.begin(), frame.begin() + 7 + 150));
        broken.close();
    }
    EXPECT_TRUE(server_.waitForCount(2));
    other->send(53, {'o'});
    EXPECT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isData(53) && n.high() == 'o'; }, kEventWaitMs));
    expectStillInStep();
}

// Every read rule against every troublesome length: the connection stays in step.
TEST_F(Hostile, EveryReadRuleAgainstTroublesomeLengths) {
    struct Rule {
        std::uint16_t code;
        int fixedBytes;  // read whatever the header says
    };
    // Two codes end the connection instead, and have tests of their own: a file
    // answer (98) that never completes, and an identification (20) whose bytes
    // name another model.
    const Rule rules[] = {{24, 0}, {53, 0}, {36, 0}, {150, 0}, {42, 2}, {171, 4}, {18, 0}};
    const std::int32_t lengths[] = {-1, 0, 389, 65536};
    int checks = 0;
    for (const Rule &rule : rules) {
        for (std::int32_t length : lengths) {
            SCOPED_TRACE(testing::Message() << "code " << rule.code << " length " << length);
            std::size_t follow = static_cast<std::size_t>(std::max(length, 0));
            // A fixed read takes its count even from a shorter frame.
            if (rule.fixedBytes > 0) follow = std::max<std::size_t>(follow, static_cast<std::size_t>(rule.fixedBytes));
            terminal_->sendRaw(encodeFrame(rule.code, length, Bytes(follow, 0x02)));
            expectStillInStep(static_cast<std::uint8_t>(++checks));
            if (HasFailure()) return;
        }
    }
}

// A frame that stops arriving part-way, or arrives too slowly, ends the
// connection, whatever its read rule: the bytes that come after it would be
// read as headers (keys nobody pressed, frames lost).
TEST_F(Hostile, AFrameThatStallsPartWayEndsTheConnectionAndNothingAfterItIsRead) {
    struct Stall {
        const char *what;
        Bytes first;  // sent at once
        Bytes rest;   // sent after the receive limit (300 ms) has passed twice over
    };
    const Bytes serial = encodeFrame(83, concat({le16(200), Bytes(200, 0x02)}));
    const Bytes keys = concat({encodeFrame(53, {'x'}), encodeFrame(53, {'y'})});
    const Stall stalls[] = {
        {"a payload stalled mid-way", Bytes(serial.begin(), serial.begin() + 60),
         concat({Bytes(serial.begin() + 60, serial.end()), keys})},
        {"a header stalled mid-way", Bytes(serial.begin(), serial.begin() + 3), concat({Bytes(serial.begin() + 3, serial.end()), keys})},
        {"an unknown code's long payload stalled", encodeFrame(5000, 70000, Bytes(1000, 0x02)), concat({Bytes(69000, 0x02), keys})},
        {"a fixed-length answer stalled", Bytes{0x02, 171, 0, 4, 0, 0, 0, 5}, concat({Bytes{0, 0, 0}, keys})},
    };
    for (const Stall &stall : stalls) {
        SCOPED_TRACE(stall.what);
        auto stalling = server_.join();
        stalling->onFrame(kCodeProbe, nullptr);
        const std::size_t before = server_.host().matching([](const Notification &n) { return n.isDisconnect(); }).size();
        stalling->sendRaw(stall.first);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        stalling->sendRaw(stall.rest);
        EXPECT_TRUE(stalling->waitDisconnected(kEventWaitMs));
        EXPECT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, kEventWaitMs, before + 1));
    }
    EXPECT_TRUE(server_.host().matching([](const Notification &n) { return n.isData(53) || n.isData(83); }).empty())
        << "bytes after a stalled frame were read as frames";
    expectStillInStep();
}

// Bytes that keep coming but too slowly for the frame's time (the receive limit,
// and 1 s more per 64 KiB) end it the same way.
TEST_F(Hostile, ARecordTrickledPastItsTimeEndsTheConnection) {
    terminal_->onFrame(kCodeProbe, nullptr);
    const Bytes record = concat({encodeFrame(26, 222, {}), Bytes(222, 0x41), encodeFrame(53, {'z'})});
    std::thread trickle([&] {
        terminal_->sendRaw(Bytes(record.begin(), record.begin() + 7));
        terminal_->sendInPieces(Bytes(record.begin() + 7, record.end()), 1, 100);
    });
    EXPECT_TRUE(terminal_->waitDisconnected(kEventWaitMs));
    trickle.join();
    EXPECT_TRUE(server_.host().matching([](const Notification &n) { return n.isData(26) || n.isData(53); }).empty());
}

}  // namespace
}  // namespace ks318
