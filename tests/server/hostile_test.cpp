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
    const std::int32_t lengths[] = {-1, 0, 389, 65536, 0x7FFFFFFF};
    int checks = 0;
    for (const Rule &rule : rules) {
        for (std::int32_t length : lengths) {
            SCOPED_TRACE(testing::Message() << "code " << rule.code << " length " << length);
            const bool endless = length == 0x7FFFFFFF;
            std::size_t follow = endless ? 100 : static_cast<std::size_t>(std::max(length, 0));
            // A fixed read takes its count even from a shorter frame.
            if (rule.fixedBytes > 0) follow = std::max<std::size_t>(follow, static_cast<std::size_t>(rule.fixedBytes));
            const std::size_t probes = terminal_->framesWithCode(kCodeProbe).size();
            terminal_->sendRaw(encodeFrame(rule.code, length, Bytes(follow, 0x02)));
            // A frame that never completes is given up after the receive limit; the
            // silence after it is then probed, which tells that the stream is free again.
            if (endless) {
                ASSERT_TRUE(terminal_->waitForFrame(kCodeProbe, kEventWaitMs, probes + 1).has_value());
            }
            expectStillInStep(static_cast<std::uint8_t>(++checks));
            if (HasFailure()) return;
        }
    }
}

}  // namespace
}  // namespace ks318
