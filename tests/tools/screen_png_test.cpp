// The simulated screen over the wire: texts drawn and acknowledged, the palette
// it starts with, and the PNG it writes after every change.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "server/outbound.h"
#include "sim/screen.h"
#include "tests/support/host_recorder.h"
#include "tests/support/png_file.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using test::Png;
using test::readPng;

class ScreenOverTheWire : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Identity identity;
        identity.model = 320;
        terminal_ = server_.join(identity);
        screen_ = sim::SimScreen::install(*terminal_);
        terminal_->observeFrames([this](sim::SimTerminal::Direction direction, const sim::Frame &frame) {
            std::lock_guard lock(mutex_);
            if (direction == sim::SimTerminal::Direction::Sent && frame.code == 36) {
                acknowledged_.push_back(frame.payload);
                acknowledgedChanged_.notify_all();
            }
        });
        screen_->savePngAfterEachChange((files_ / "screen.png").string());
        record_ = server_.server().terminals().get(1);
        ASSERT_TRUE(record_);
    }

    void send(std::uint16_t code, const Bytes &payload) {
        ASSERT_GT(sendGatedFrame(*record_, test::kEventWaitMs, code, payload.data(), static_cast<int>(payload.size())), 0);
    }

    // Waits until the terminal has answered `count` texts.
    bool waitForAcknowledgements(std::size_t count) {
        std::unique_lock lock(mutex_);
        return acknowledgedChanged_.wait_for(lock, std::chrono::milliseconds(test::kEventWaitMs),
                                             [&] { return acknowledged_.size() >= count; });
    }

    std::vector<Bytes> acknowledgements() {
        std::lock_guard lock(mutex_);
        return acknowledged_;
    }

    // Without probes: drawing and writing the picture may take the terminal
    // longer than the 600 ms a silent terminal is kept under short limits.
    test::TestServer server_{test::steadyLimits()};
    test::TempDir files_;
    std::mutex mutex_;
    std::condition_variable acknowledgedChanged_;
    std::vector<Bytes> acknowledged_;  // what the terminal answered to texts (36)
    std::unique_ptr<sim::SimTerminal> terminal_;
    std::shared_ptr<sim::SimScreen> screen_;
    TerminalRef record_;
};

TEST_F(ScreenOverTheWire, StartsBlackInTheStandardPaletteAndIsWrittenAtOnce) {
    const Png first = readPng(files_ / "screen.png");
    ASSERT_EQ(first.width, 480u);
    ASSERT_EQ(first.height, 272u);
    EXPECT_EQ(first.at(479, 271), (sim::Colour{0, 0, 0}));
    const auto palette = sim::startPalette();
    EXPECT_EQ((sim::Colour{palette[15 * 3], palette[15 * 3 + 1], palette[15 * 3 + 2]}), (sim::Colour{255, 255, 255}));
    EXPECT_EQ((sim::Colour{palette[4 * 3], palette[4 * 3 + 1], palette[4 * 3 + 2]}), (sim::Colour{0, 0, 128}));
    EXPECT_EQ((sim::Colour{palette[16 * 3], palette[16 * 3 + 1], palette[16 * 3 + 2]}), (sim::Colour{0, 0, 0}));
    EXPECT_EQ((sim::Colour{palette[231 * 3], palette[231 * 3 + 1], palette[231 * 3 + 2]}), (sim::Colour{255, 255, 255}));
    EXPECT_EQ((sim::Colour{palette[196 * 3], palette[196 * 3 + 1], palette[196 * 3 + 2]}), (sim::Colour{255, 0, 0}));
    EXPECT_EQ((sim::Colour{palette[244 * 3], palette[244 * 3 + 1], palette[244 * 3 + 2]}), (sim::Colour{128, 128, 128}));
}

TEST_F(ScreenOverTheWire, EveryChangeRewritesThePicture) {
    send(33, {4, 0});  // navy
    ASSERT_TRUE(screen_->waitForUpdates(1, test::kEventWaitMs));
    EXPECT_EQ(readPng(files_ / "screen.png").at(100, 100), (sim::Colour{0, 0, 128}));

    sim::TextRecord text;
    text.x = 10;
    text.y = 10;
    text.text = "\u2588\u2588";
    text.colour = 15;
    text.height = 30;
    send(35, text.encode());
    ASSERT_TRUE(screen_->waitForUpdates(2, test::kEventWaitMs));
    const Png written = readPng(files_ / "screen.png");
    EXPECT_EQ(written.at(20, 25), (sim::Colour{255, 255, 255})) << "inside the blocks";
    EXPECT_EQ(written.at(5, 25), (sim::Colour{0, 0, 128})) << "left of the text";
    EXPECT_EQ(written.at(20, 5), (sim::Colour{0, 0, 128})) << "above the text";
    EXPECT_FALSE(std::filesystem::exists(files_ / "screen.png.part"));

    // Acknowledged with 36: 1 when drawn, 0 for a record of the wrong size.
    send(35, Bytes(100, 0));
    ASSERT_TRUE(terminal_->waitForFrame(35, test::kEventWaitMs, 2));
    ASSERT_TRUE(waitForAcknowledgements(2));
    EXPECT_EQ(acknowledgements(), (std::vector<Bytes>{sim::le32(1), sim::le32(0)}));
    EXPECT_EQ(screen_->updates(), 2u);
}

}  // namespace
}  // namespace ks318
