// A test fixture for pictures sent from files: simulated terminals with screens,
// a temporary directory for the files, and colour classes to read screens by.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ks318.h"
#include "sim/screen.h"
#include "tests/image/picture_files.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318::test {

inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kGrey{128, 128, 128};
inline constexpr Rgb kRed{220, 30, 30};
inline constexpr Rgb kBlue{30, 30, 220};
inline constexpr Rgb kGreen{30, 200, 30};
inline constexpr Rgb kYellow{230, 220, 40};

inline bool isWhite(sim::Colour c) { return c.r >= 200 && c.g >= 200 && c.b >= 200; }
inline bool isDark(sim::Colour c) { return c.r <= 60 && c.g <= 60 && c.b <= 60; }
inline bool isGrey(sim::Colour c) {
    return c.r >= 90 && c.r <= 170 && c.g >= 90 && c.g <= 170 && c.b >= 90 && c.b <= 170;
}
inline bool isRed(sim::Colour c) { return c.r >= 150 && c.g <= 100 && c.b <= 100; }
inline bool isBlue(sim::Colour c) { return c.b >= 150 && c.r <= 100 && c.g <= 100; }

class PictureScreenTest : public ::testing::Test {
protected:
    // The bound of every wait for something that normally comes within milliseconds.
    static constexpr int kWaitMs = 30000;

    // A terminal of the model with a screen; its terminal number is returned.
    std::int32_t join(std::uint16_t model = 318) {
        sim::Identity id;
        id.model = model;
        terminals_.push_back(session_.join(id));
        screens_.push_back(sim::SimScreen::install(*terminals_.back()));
        terminals_.back()->clearFrames();
        return static_cast<std::int32_t>(terminals_.size());
    }

    sim::SimTerminal &terminal(std::int32_t number) { return *terminals_.at(number - 1); }
    sim::SimScreen &screen(std::int32_t number) { return *screens_.at(number - 1); }

    // Sends the file to the terminal and waits until its screen shows it and the
    // image's frame (37) is among the terminal's frames (it is recorded just after
    // the screen is drawn).
    void show(std::int32_t number, const std::string &path) {
        const std::size_t before = screen(number).updates();
        const std::size_t images = terminal(number).framesWithCode(37).size();
        ASSERT_EQ(kq_sendimgfromfile(number, path.c_str()), 1) << path;
        ASSERT_TRUE(screen(number).waitForUpdates(before + 1, kWaitMs)) << path;
        ASSERT_TRUE(terminal(number).waitForFrame(37, kWaitMs, images + 1)) << path;
    }

    // The call returns 0, and the next frame the terminal gets is a marker block.
    // (Frames of pictures shown before are forgotten first.)
    void expectRefused(std::int32_t number, const std::string &path) {
        terminal(number).clearFrames();
        EXPECT_EQ(kq_sendimgfromfile(number, path.c_str()), 0) << path;
        ASSERT_EQ(kq_sendimageblock(number, 0, 0, 0, 0, nullptr), 1);
        ASSERT_TRUE(terminal(number).waitForFrame(131, kWaitMs));
        EXPECT_EQ(terminal(number).frames().size(), 1u) << path << " sent something";
        terminal(number).clearFrames();
    }

    ExportSession session_;
    TempDir dir_;
    std::vector<std::unique_ptr<sim::SimTerminal>> terminals_;
    std::vector<std::shared_ptr<sim::SimScreen>> screens_;
};

}  // namespace ks318::test
