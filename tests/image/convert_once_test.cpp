// Converting a picture once for many terminals: kq_convertimgfromfile gives the
// very palette and pixels kq_sendimgfromfile sends to a terminal of the model,
// writes exactly the model's sizes, refuses what kq_sendimgfromfile refuses with
// the same reason, and leaves the host's buffers untouched when it gives 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ks318.h"
#include "tests/image/picture_files.h"
#include "tests/image/picture_screen.h"

namespace ks318 {
namespace {

using namespace test;  // picture files, colours and colour classes

using ConvertOnce = PictureScreenTest;

constexpr std::uint8_t kUntouched = 0xA5;
constexpr std::size_t kGuardBytes = 64;  // past the largest image: must stay as they were

// The host's buffers, each longer than any image by a guard, filled with a mark.
struct HostBuffers {
    std::vector<std::uint8_t> palette = std::vector<std::uint8_t>(KQ_PALETTE_BYTES + kGuardBytes, kUntouched);
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(KQ_PIXELS_OTHER + kGuardBytes, kUntouched);

    std::int32_t convert(const std::string &path, std::int32_t model) {
        return kq_convertimgfromfile(path.c_str(), model, palette.data(), pixels.data());
    }
    // The palette followed by `count` pixels: a code-37 payload.
    sim::Bytes payload(std::size_t count) const {
        sim::Bytes bytes(KQ_PALETTE_BYTES + count);
        std::copy_n(palette.begin(), KQ_PALETTE_BYTES, bytes.begin());
        std::copy_n(pixels.begin(), count, bytes.begin() + KQ_PALETTE_BYTES);
        return bytes;
    }
    // The colour of pixel (x, y) of an image `width` pixels wide.
    sim::Colour colourAt(int x, int y, int width) const {
        const std::uint8_t *entry = &palette[pixels[static_cast<std::size_t>(y) * width + x] * 3u];
        return {entry[0], entry[1], entry[2]};
    }
    // Bytes from `from` on that still hold the mark.
    static bool untouchedFrom(const std::vector<std::uint8_t> &bytes, std::size_t from) {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                           [](std::uint8_t b) { return b == kUntouched; });
    }
    bool untouched() const { return untouchedFrom(palette, 0) && untouchedFrom(pixels, 0); }
};

std::size_t pixelsOf(std::int32_t model) { return model == 318 ? KQ_PIXELS_318 : KQ_PIXELS_OTHER; }

// A picture with many colours (gradients and a pattern), so the reduction has to
// choose its 236 and dither: a conversion that differs anywhere shows.
Rgb busyColour(int x, int y) {
    return {static_cast<std::uint8_t>(x * 255 / 299), static_cast<std::uint8_t>(y * 255 / 199),
            static_cast<std::uint8_t>(((x / 7 + y / 5) % 2) ? 40 + (x + y) % 180 : 230 - (x * y) % 90)};
}

TestPicture busyPicture(int width, int height) {
    TestPicture picture(width, height, kBlack);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.set(x, y, busyColour(x, y));
    return picture;
}

// One file of each kind of loader: photo-like JPEG, a wide BMP, an icon and a metafile.
std::vector<std::string> sampleFiles(const TempDir &dir) {
    return {dir.write("busy.jpg", jpegFileOf(300, 200, 90, busyColour)),
            dir.write("wide.bmp", bmpFile(busyPicture(500, 120))),
            dir.write("tall.ico", icoFile({{busyPicture(48, 64), false}})),
            dir.write("shapes.wmf", wmfFile(120, 90, {{0, 0, 60, 90, kRed}, {60, 30, 120, 60, kBlue}}))};
}

TEST_F(ConvertOnce, TheResultIsWhatSendimgfromfileSendsToATerminalOfTheModel) {
    const std::vector<std::int32_t> models{318, 320, 330};
    std::vector<std::int32_t> numbers;
    for (std::int32_t model : models) numbers.push_back(join(static_cast<std::uint16_t>(model)));
    for (const std::string &path : sampleFiles(dir_)) {
        for (std::size_t i = 0; i < models.size(); ++i) {
            const std::int32_t number = numbers[i], model = models[i];
            show(number, path);
            const auto sent = terminal(number).framesWithCode(37);
            ASSERT_FALSE(sent.empty());
            HostBuffers converted;
            ASSERT_EQ(converted.convert(path, model), static_cast<std::int32_t>(pixelsOf(model))) << path;
            EXPECT_STREQ(kq_lastfailure(), "");
            EXPECT_EQ(sent.back().length, static_cast<std::int32_t>(KQ_PALETTE_BYTES + pixelsOf(model)));
            EXPECT_TRUE(sent.back().payload == converted.payload(pixelsOf(model)))
                << path << " for model " << model << " differs from what kq_sendimgfromfile sent";

            // Sent with kq_sendimage, the converted image is the same frame on the wire.
            const std::size_t before = sent.size();
            ASSERT_EQ(kq_sendimage(number, converted.palette.data(), converted.pixels.data()), 1);
            const auto again = terminal(number).waitForFrame(37, kWaitMs, before + 1);
            ASSERT_TRUE(again);
            EXPECT_TRUE(again->wire() == sent.back().wire()) << path << " for model " << model;
            terminal(number).clearFrames();
        }
    }
}

TEST_F(ConvertOnce, EachModelGetsItsOwnSizeAndNothingPastIt) {
    const std::string path = dir_.write("busy.jpg", jpegFileOf(300, 200, 90, busyColour));
    HostBuffers small, large;
    ASSERT_EQ(small.convert(path, 318), KQ_PIXELS_318);
    ASSERT_EQ(large.convert(path, 320), KQ_PIXELS_OTHER);
    EXPECT_TRUE(HostBuffers::untouchedFrom(small.palette, KQ_PALETTE_BYTES));
    EXPECT_TRUE(HostBuffers::untouchedFrom(large.palette, KQ_PALETTE_BYTES));
    EXPECT_TRUE(HostBuffers::untouchedFrom(small.pixels, KQ_PIXELS_318)) << "a 318 image is 76,800 pixels";
    EXPECT_TRUE(HostBuffers::untouchedFrom(large.pixels, KQ_PIXELS_OTHER));
    // The 3:2 picture takes the full height of either screen, centred: 360 pixels wide on
    // 320 × 240 (its sides cut off), 408 on 480 × 272 (white bands of 36 at either side).
    EXPECT_FALSE(isWhite(small.colourAt(0, 120, 320)));
    EXPECT_FALSE(isWhite(small.colourAt(319, 120, 320)));
    EXPECT_TRUE(isWhite(large.colourAt(0, 136, 480)));
    EXPECT_TRUE(isWhite(large.colourAt(30, 136, 480)));
    EXPECT_FALSE(isWhite(large.colourAt(42, 136, 480)));
    EXPECT_TRUE(isWhite(large.colourAt(479, 136, 480)));

    // Every model but 318 takes the 480 × 272 screen: the same bytes as model 320.
    for (std::int32_t model : {330, 0, -318, 65535, 318 + 65536}) {
        HostBuffers other;
        ASSERT_EQ(other.convert(path, model), KQ_PIXELS_OTHER) << model;
        EXPECT_TRUE(other.palette == large.palette && other.pixels == large.pixels) << model;
    }
    // Converting again gives the same bytes: nothing carries over between conversions.
    HostBuffers again;
    ASSERT_EQ(again.convert(path, 318), KQ_PIXELS_318);
    EXPECT_TRUE(again.palette == small.palette && again.pixels == small.pixels);
}

TEST_F(ConvertOnce, RefusalsGiveZeroAndTheSendersReasonAndLeaveTheBuffersAlone) {
    const std::int32_t number = join(320);
    const FileBytes bmp = bmpFile(TestPicture(64, 48, kRed));
    FileBytes zeroWide = bmp;
    zeroWide[18] = 0;  // width 0 in the bitmap header
    std::filesystem::create_directory(dir_.path() / "folder.bmp");
    const std::uintmax_t wideRow = (8193 * 3 + 3) / 4 * 4;
    const std::vector<std::string> refused{
        std::string(dir_ / "absent.jpg"),
        dir_.write("picture.png", pngFile(TestPicture(8, 8, kRed))),
        dir_.write("garbage.bmp", FileBytes(300, 0x5A)),
        dir_.write("cut.bmp", FileBytes(bmp.begin(), bmp.begin() + static_cast<std::ptrdiff_t>(bmp.size() / 2))),
        dir_.write("zero-wide.bmp", zeroWide),
        std::string(dir_ / "folder.bmp"),
        sparseFile(dir_, "over.jpg", jpegFile(TestPicture(64, 48, kRed), 90), KQ_PICTURE_MAX_BYTES + 1ULL),
        sparseFile(dir_, "wide.bmp", bmpHeader(8193, 4096, 24), 54 + wideRow * 4096),
    };
    for (const std::string &path : refused) {
        for (std::int32_t model : {318, 320}) {
            HostBuffers buffers;
            EXPECT_EQ(buffers.convert(path, model), 0) << path;
            const std::string reason = kq_lastfailure();
            EXPECT_FALSE(reason.empty()) << path;
            EXPECT_TRUE(buffers.untouched()) << path << ": a refused picture wrote into the host's buffers";
            // The same file refused by the sender, for the same reason.
            expectRefused(number, path);
            EXPECT_EQ(kq_sendimgfromfile(number, path.c_str()), 0);
            EXPECT_EQ(std::string(kq_lastfailure()), reason) << path;
        }
    }
    HostBuffers buffers;
    EXPECT_EQ(buffers.convert(refused[0], 318), 0);
    EXPECT_EQ(std::string(kq_lastfailure()), "no file " + refused[0]);
    EXPECT_EQ(buffers.convert(refused[3], 318), 0);
    EXPECT_EQ(std::string(kq_lastfailure()), "the picture in " + refused[3] + " could not be decoded");
    EXPECT_EQ(buffers.convert(refused[7], 318), 0);
    EXPECT_STREQ(kq_lastfailure(), "the picture (8193 x 4096) has more than 33554432 pixels");
    // A success after a refusal starts the reason afresh.
    ASSERT_EQ(buffers.convert(dir_.write("good.bmp", bmp), 318), KQ_PIXELS_318);
    EXPECT_STREQ(kq_lastfailure(), "");
}

TEST_F(ConvertOnce, NullArgumentsGiveZeroAndWriteNothing) {
    const std::string path = dir_.write("good.bmp", bmpFile(TestPicture(64, 48, kRed)));
    HostBuffers buffers;
    EXPECT_EQ(kq_convertimgfromfile(nullptr, 318, buffers.palette.data(), buffers.pixels.data()), 0);
    EXPECT_STREQ(kq_lastfailure(), "no file name");
    EXPECT_EQ(kq_convertimgfromfile(path.c_str(), 318, nullptr, buffers.pixels.data()), 0);
    EXPECT_STREQ(kq_lastfailure(), "no palette buffer");
    EXPECT_EQ(kq_convertimgfromfile(path.c_str(), 318, buffers.palette.data(), nullptr), 0);
    EXPECT_STREQ(kq_lastfailure(), "no pixel buffer");
    EXPECT_EQ(kq_convertimgfromfile(path.c_str(), 320, nullptr, nullptr), 0);
    EXPECT_EQ(kq_convertimgfromfile(nullptr, 320, nullptr, nullptr), 0);
    EXPECT_STREQ(kq_lastfailure(), "no file name") << "the file is looked at first, as the sender does";
    EXPECT_TRUE(buffers.untouched());
}

// No terminal and no server: the conversion stands alone, and host threads may
// convert at once, each with its own result and reason.
TEST(ConvertOnceAlone, ConvertsWithoutAServerOnSeveralThreadsAtOnce) {
    ASSERT_EQ(kq_getserverport(), 0) << "no server may run in this test";
    TempDir dir;
    const std::string good = dir.write("busy.jpg", jpegFileOf(300, 200, 90, busyColour));
    const std::string absent = std::string(dir / "absent.jpg");
    HostBuffers expected;
    ASSERT_EQ(expected.convert(good, 318), KQ_PIXELS_318);
    // The picture is converted, not a blank: it uses many palette entries.
    std::vector<bool> used(256, false);
    for (std::size_t i = 0; i < KQ_PIXELS_318; ++i) used[expected.pixels[i]] = true;
    EXPECT_GT(std::count(used.begin(), used.end(), true), 100);

    constexpr int kThreads = 4, kRounds = 3;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                HostBuffers mine;
                if (t % 2 == 1) {
                    if (mine.convert(absent, 318) != 0 || std::string(kq_lastfailure()) != "no file " + absent ||
                        !mine.untouched())
                        ++mismatches[t];
                } else if (mine.convert(good, 318) != KQ_PIXELS_318 || std::string(kq_lastfailure()) != "" ||
                           mine.palette != expected.palette || mine.pixels != expected.pixels) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (std::thread &host : hosts) host.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace ks318
