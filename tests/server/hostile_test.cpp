// Terminals that send what no terminal should: the connection stays in step,
// nothing is overrun, and other terminals keep being served.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = server_.join();
        ASSERT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isData(28); }, 2000));
        server_.host().clear();
    }

    // A well-formed key frame after the hostile bytes must be understood.
    void expectStillInStep(std::uint8_t key = 'k') {
        terminal_->send(53, {key});
        EXPECT_TRUE(server_.host().waitFor(
            [&](const Notification &n) { return n.isData(53) && n.high() == key; }, 2000))
            << "the frame after the hostile one was not understood";
        EXPECT_FALSE(terminal_->disconnected());
    }

    std::size_t dataCount() {
        return server_.host().matching([](const Notification &n) { return !n.posted; }).size();
    }

    test::DescriptorWatch descriptors_;  // every test leaves no descriptor behind
    TestServer server_;
    std::unique_ptr<sim::SimTerminal> terminal_;
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

TEST_F(Hostile, HeaderAndPayloadInOneBytePiecesArrive) {
    Bytes frame = encodeFrame(83, concat({le16(4), {'a', 'b', 'c', 'd'}}));
    ASSERT_TRUE(terminal_->sendInPieces(frame, 1, 25));
    EXPECT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isData(83); }, 2000));
    expectStillInStep();
}

TEST_F(Hostile, AnAnnouncedPayloadThatNeverComesIsGivenUpInBoundedTime) {
    terminal_->sendRaw(encodeFrame(9999, 0x7FFFFFFF, Bytes(100, 1)));
    // The connection is silent from then on: given up, probed, dropped.
    EXPECT_TRUE(terminal_->waitDisconnected(4000));
    EXPECT_TRUE(server_.waitForCount(0));
}

TEST_F(Hostile, ATrickleOfBytesIsStillDroppedInBoundedTime) {
    // One byte per 200 ms against a 300 ms limit: headers never complete in time.
    Bytes stream = encodeFrame(83, concat({le16(100), Bytes(100, 1)}));
    std::thread trickle([&] { terminal_->sendInPieces(stream, 1, 200); });
    EXPECT_TRUE(terminal_->waitDisconnected(8000));
    trickle.join();
}

TEST_F(Hostile, ClosingInTheMiddleOfEveryFrameKindEndsOnlyThatConnection) {
    auto other = server_.join();
    for (std::uint16_t code : {20, 26, 42, 53, 69, 83, 98, 148, 167, 5000}) {
        sim::SimTerminal broken;
        ASSERT_TRUE(broken.connectAndIdentify("127.0.0.1", server_.port()));
        Bytes frame = encodeFrame(code, 300, Bytes(300, 7));
        broken.sendRaw(Bytes(frame.begin(), frame.begin() + 7 + 150));
        broken.close();
    }
    EXPECT_TRUE(server_.waitForCount(2, 5000));
    other->send(53, {'o'});
    EXPECT_TRUE(server_.host().waitFor([](const Notification &n) { return n.isData(53) && n.high() == 'o'; }, 2000));
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
    std::size_t probes = 0;
    for (const Rule &rule : rules) {
        for (std::int32_t length : lengths) {
            SCOPED_TRACE(testing::Message() << "code " << rule.code << " length " << length);
            const bool endless = length == 0x7FFFFFFF;
            std::size_t follow = endless ? 100 : static_cast<std::size_t>(std::max(length, 0));
            // A fixed read takes its count even from a shorter frame.
            if (rule.fixedBytes > 0) follow = std::max<std::size_t>(follow, static_cast<std::size_t>(rule.fixedBytes));
            terminal_->sendRaw(encodeFrame(rule.code, length, Bytes(follow, 0x02)));
            // A frame that never completes is given up after the receive limit; the
            // silence after it is then probed, which tells that the stream is free again.
            if (endless) {
                ASSERT_TRUE(terminal_->waitForFrame(17, 5000, ++probes).has_value());
            }
            expectStillInStep(static_cast<std::uint8_t>(++checks));
            if (HasFailure()) return;
        }
    }
}

}  // namespace
}  // namespace ks318
