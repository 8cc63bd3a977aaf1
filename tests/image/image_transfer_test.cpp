// Image transfers against a server with short limits: a send gate that stays
// busy, and a connection that fails under way. Both flags must be free afterwards.
#include <gtest/gtest.h>

#include <chrono>

#include "image/image_commands.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using Clock = std::chrono::steady_clock;
using test::TestServer;

class ImageTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = server_.join();
        record_ = server_.server().terminals().get(1);
        ASSERT_TRUE(record_);
    }

    int gateLimit() { return server_.server().limits().sendGateLimitMs; }

    void expectBothFlagsFree() {
        EXPECT_FALSE(record_->imageBusy.isTaken());
        EXPECT_FALSE(record_->sendGate.isBusy());
    }

    // A 1 s send-gate limit; no probes, so that the terminal stays however
    // slowly the steps go.
    TestServer server_{test::steadyLimits()};
    std::unique_ptr<sim::SimTerminal> terminal_;
    TerminalRef record_;
    std::vector<std::uint8_t> palette_ = std::vector<std::uint8_t>(768, 1);
    std::vector<std::uint8_t> pixels_ = std::vector<std::uint8_t>(130560, 2);
};

TEST_F(ImageTransfer, ABusySendGateGivesMinusTwoAfterTheLimitAndFreesTheImageFlag) {
    ASSERT_TRUE(record_->sendGate.take(test::kEventWaitMs)) << "the connection thread may be sending a moment";
    const auto screen = image::screenForModel(320);
    auto start = Clock::now();
    EXPECT_EQ(image::sendFullScreenImage(*record_, gateLimit(), screen, palette_.data(), pixels_.data()), -2);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(950));
    EXPECT_FALSE(record_->imageBusy.isTaken());
    EXPECT_EQ(image::sendBlock(*record_, gateLimit(), 0, 0, 4, 4, pixels_.data()), -2);
    EXPECT_FALSE(record_->imageBusy.isTaken());
    EXPECT_EQ(image::sendPalette(*record_, gateLimit(), palette_.data()), -2);
    record_->sendGate.release();
    EXPECT_TRUE(terminal_->framesWithCode(37).empty());
    EXPECT_EQ(image::sendBlock(*record_, gateLimit(), 0, 0, 4, 4, pixels_.data()), 1);
    EXPECT_TRUE(terminal_->waitForFrame(131, test::kEventWaitMs));
}

TEST_F(ImageTransfer, AFailedConnectionGivesMinusOneAndFreesBothFlags) {
    record_->shutdownConnection();
    const auto screen = image::screenForModel(318);
    EXPECT_EQ(image::sendFullScreenImage(*record_, gateLimit(), screen, palette_.data(), pixels_.data()), -1);
    expectBothFlagsFree();
    EXPECT_EQ(image::sendBlock(*record_, gateLimit(), 0, 0, 100, 100, pixels_.data()), -1);
    expectBothFlagsFree();
    EXPECT_EQ(image::sendPalette(*record_, gateLimit(), palette_.data()), -1) << "a failed write is not reported as sent";
    expectBothFlagsFree();
}

}  // namespace
}  // namespace ks318
