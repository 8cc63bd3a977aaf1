// The simulated terminal's screen: what it makes of fills, palettes, blocks and
// images, and the PNG it writes.
#include <gtest/gtest.h>

#include <png.h>

#include "server/outbound.h"
#include "sim/screen.h"
#include "tests/image/picture_files.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::le16;

class SimScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::Identity id;
        id.model = 318;
        terminal_ = server_.join(id);
        screen_ = sim::SimScreen::install(*terminal_);
        record_ = server_.server().terminals().get(1);
        ASSERT_TRUE(record_);
    }

    void send(std::uint16_t code, const Bytes &payload) {
        const std::size_t before = screen_->updates();
        ASSERT_GT(sendGatedFrame(*record_, test::kEventWaitMs, code, payload.data(), static_cast<int>(payload.size())), 0);
        ASSERT_TRUE(screen_->waitForUpdates(before + 1, test::kEventWaitMs)) << "code " << code;
    }

    // Without probes: drawing and writing pictures may take the terminal longer
    // than the 600 ms a silent terminal is kept under short limits.
    test::TestServer server_{test::steadyLimits()};
    std::unique_ptr<sim::SimTerminal> terminal_;
    std::shared_ptr<sim::SimScreen> screen_;
    TerminalRef record_;
};

TEST_F(SimScreenTest, FillPaletteAndAClippedBlock) {
    Bytes palette(768, 0);
    palette[7 * 3] = 200;      // entry 7: red
    palette[9 * 3 + 2] = 150;  // entry 9: blue
    send(133, palette);
    send(33, {7, 0});
    EXPECT_EQ(screen_->colour(319, 239), (sim::Colour{200, 0, 0}));
    // A 4 × 2 block at (318, 238): only its top-left 2 × 2 is on the screen.
    send(131, concat({le16(318), le16(238), le16(4), le16(2), {9, 9, 1, 1, 9, 9, 1, 1}}));
    EXPECT_EQ(screen_->index(318, 238), 9);
    EXPECT_EQ(screen_->index(319, 239), 9);
    EXPECT_EQ(screen_->index(317, 238), 7);
    EXPECT_EQ(screen_->colour(319, 238), (sim::Colour{0, 0, 150}));
}

TEST_F(SimScreenTest, AWideImageResizesTheScreenAndIsWrittenAsPng) {
    Bytes image(768 + 480 * 272, 0);
    image[3] = 10;  // entry 1: (10, 20, 30)
    image[4] = 20;
    image[5] = 30;
    image[768 + 271 * 480 + 479] = 1;  // the last pixel
    send(37, image);
    ASSERT_EQ(screen_->width(), 480);
    ASSERT_EQ(screen_->height(), 272);

    test::TempDir dir;
    const std::string path = (dir.path() / "screen.png").string();
    ASSERT_TRUE(screen_->savePng(path));
    png_image read{};
    read.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&read, path.c_str()));
    read.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(read));
    ASSERT_TRUE(png_image_finish_read(&read, nullptr, rgb.data(), 0, nullptr));
    EXPECT_EQ(read.width, 480u);
    EXPECT_EQ(read.height, 272u);
    EXPECT_EQ(Bytes(rgb.end() - 3, rgb.end()), (Bytes{10, 20, 30}));
    EXPECT_EQ(Bytes(rgb.end() - 6, rgb.end() - 3), (Bytes{0, 0, 0}));
}

}  // namespace
}  // namespace ks318
