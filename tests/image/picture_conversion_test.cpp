// Pictures from files on a simulated terminal's screen: the fit and placement,
// each picture format, the colour reduction, and files that are not taken.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "ks318.h"
#include "sim/screen.h"
#include "tests/image/picture_files.h"
#include "tests/image/picture_screen.h"

namespace ks318 {
namespace {

using namespace test;  // picture files, colours and colour classes

using PictureFiles = PictureScreenTest;

struct Placement {
    int width, height;          // the picture
    int x, y, w, h;             // where it lands on the 320 × 240 screen
};

TEST_F(PictureFiles, FitGeometryShowsAsWhiteBandsOnTheScreen) {
    const std::int32_t number = join(318);
    for (Placement p : {Placement{640, 480, 0, 0, 320, 240}, Placement{1280, 720, -53, 0, 426, 240},
                        Placement{1000, 500, 0, 40, 320, 160}, Placement{639, 320, -79, 0, 479, 240},
                        Placement{640, 320, 0, 40, 320, 160}, Placement{240, 320, 70, 0, 180, 240},
                        Placement{3, 1, 0, 67, 320, 106}, Placement{100, 40, 0, 56, 320, 128}}) {
        show(number, dir_.write("fit.bmp", test::bmpFile(TestPicture(p.width, p.height, kBlack))));
        int wrong = 0;
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                const bool inside = x >= p.x && x < p.x + p.w && y >= p.y && y < p.y + p.h;
                const sim::Colour c = screen(number).colour(x, y);
                if (inside ? !isDark(c) : !isWhite(c)) ++wrong;
            }
        EXPECT_EQ(wrong, 0) << p.width << " x " << p.height << ": pixels on the wrong side of the bands";
    }
}

TEST_F(PictureFiles, PicturesWiderThanTheScreenLoseTheirEdgesEvenly) {
    const std::int32_t number = join(318);
    struct Cut {
        int width, height;
        int lastLeftGrey, firstRightGrey;  // screen columns where the picture's outer quarters end
    };
    for (Cut cut : {Cut{1280, 720, 53, 267}, Cut{639, 320, 40, 281}}) {
        TestPicture picture(cut.width, cut.height, kBlack);
        picture.paintColumns(0, cut.width / 4, kGrey);
        picture.paintColumns(3 * cut.width / 4, cut.width, kGrey);
        show(number, dir_.write("wide.bmp", test::bmpFile(picture)));
        for (int x = 0; x < 320; ++x) {
            const bool grey = x <= cut.lastLeftGrey || x >= cut.firstRightGrey;
            const sim::Colour c = screen(number).colour(x, 120);
            EXPECT_TRUE(grey ? isGrey(c) : isDark(c)) << cut.width << " x " << cut.height << ", column " << x;
        }
    }
}

TEST_F(PictureFiles, EveryFormatIsDrawnByItsExtension) {
    const std::int32_t number = join(318);
    TestPicture halves(200, 100, kRed);
    halves.paintColumns(100, 200, kBlue);
    // Icons: the largest image is shown; transparent pixels are laid over white.
    TestPicture smallRed(16, 16, kRed);
    TestPicture halfClear(64, 32, kBlue);
    for (int y = 0; y < 32; ++y)
        for (int x = 32; x < 64; ++x) halfClear.set(x, y, kBlack, 0);
    const std::vector<test::FilledRect> rects{{0, 0, 100, 100, kRed}, {100, 0, 200, 100, kBlue}};

    struct Case {
        std::string name;
        FileBytes bytes;
        bool rightHalfClear;
    };
    const std::vector<Case> cases{
        {"picture.bmp", test::bmpFile(halves), false},
        {"picture.jpg", test::jpegFile(halves, 95), false},
        {"picture.JPEG", test::jpegFile(halves, 90), false},
        {"bitmap-icon.ico", test::icoFile({{smallRed, true}, {halfClear, false}}), true},
        {"png-icon.Ico", test::icoFile({{smallRed, false}, {halfClear, true}}), true},
        {"drawing.wmf", test::wmfFile(200, 100, rects), false},
        {"drawing.EMF", test::emfFile(200, 100, rects), false},
    };
    for (const Case &c : cases) {
        show(number, dir_.write(c.name, c.bytes));
        sim::SimScreen &shown = screen(number);
        // 2:1 pictures take the full width: 160 rows at row 40, white above and below.
        for (int x = 0; x < 320; x += 7) {
            for (int y : {0, 20, 38, 202, 220, 239}) EXPECT_TRUE(isWhite(shown.colour(x, y))) << c.name << " (" << x << ", " << y << ")";
            for (int y : {42, 120, 198}) {
                const sim::Colour colour = shown.colour(x, y);
                // Icons: a blue left half and a clear right one; the others red, then blue.
                const bool expected = x < 158   ? (c.rightHalfClear ? isBlue(colour) : isRed(colour))
                                      : x > 162 ? (c.rightHalfClear ? isWhite(colour) : isBlue(colour))
                                                : true;
                EXPECT_TRUE(expected) << c.name << " (" << x << ", " << y << ")";
            }
        }
    }
}

TEST_F(PictureFiles, MetafilesArePlayedIntoTheirFrameNotTheirDrawing) {
    const std::int32_t number = join(318);
    // A 200 × 100 frame with one rectangle in its middle half: 80 … 240 by 80 … 160 on screen.
    const std::vector<test::FilledRect> middle{{50, 25, 150, 75, kRed}};
    for (auto [name, bytes] : {std::pair{"middle.wmf", test::wmfFile(200, 100, middle)},
                               std::pair{"middle.emf", test::emfFile(200, 100, middle)}}) {
        show(number, dir_.write(name, bytes));
        for (auto [x, y] : {std::pair{84, 84}, {160, 120}, {236, 156}})
            EXPECT_TRUE(isRed(screen(number).colour(x, y))) << name << " (" << x << ", " << y << ")";
        for (auto [x, y] : {std::pair{40, 120}, {76, 120}, {160, 76}, {160, 164}, {245, 120}, {280, 120}})
            EXPECT_TRUE(isWhite(screen(number).colour(x, y))) << name << " (" << x << ", " << y << ")";
    }
}

TEST_F(PictureFiles, HostThreadsConvertAtTheSameTime) {
    const std::vector<test::FilledRect> red{{0, 0, 200, 100, kRed}};
    const std::vector<std::string> files{dir_.write("a.wmf", test::wmfFile(200, 100, red)),
                                         dir_.write("b.emf", test::emfFile(200, 100, red)),
                                         dir_.write("c.jpg", test::jpegFile(TestPicture(200, 100, kRed), 90)),
                                         dir_.write("d.ico", test::icoFile({{TestPicture(64, 32, kRed), true}}))};
    std::vector<std::int32_t> numbers;
    for (std::size_t i = 0; i < files.size(); ++i) numbers.push_back(join(318));
    std::vector<std::thread> hosts;
    std::vector<int> failures(files.size(), 0);
    for (std::size_t i = 0; i < files.size(); ++i)
        hosts.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round)
                for (std::size_t f = 0; f < files.size(); ++f)
                    if (kq_sendimgfromfile(numbers[i], files[(f + i) % files.size()].c_str()) != 1) ++failures[i];
        });
    for (std::thread &host : hosts) host.join();
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(failures[i], 0) << "terminal " << numbers[i];
        ASSERT_TRUE(screen(numbers[i]).waitForUpdates(5 * files.size(), 5000));
        EXPECT_TRUE(isRed(screen(numbers[i]).colour(160, 120)));
        EXPECT_TRUE(isWhite(screen(numbers[i]).colour(160, 20)));
    }
}

TEST_F(PictureFiles, AtMost236PaletteEntriesAreUsed) {
    const std::int32_t number = join(318);
    TestPicture gradient(640, 480, kBlack);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            gradient.set(x, y, {static_cast<std::uint8_t>(x * 255 / 639), static_cast<std::uint8_t>(y * 255 / 479),
                                static_cast<std::uint8_t>((x + y) % 256)});
    show(number, dir_.write("gradient.bmp", test::bmpFile(gradient)));
    std::vector<std::uint8_t> indices = screen(number).indices();
    std::set<std::uint8_t> used(indices.begin(), indices.end());
    EXPECT_LE(used.size(), 236u);
    EXPECT_GT(used.size(), 150u) << "a colourful picture should use most of the palette";
    EXPECT_LT(*used.rbegin(), 236) << "indices 236 to 255 never occur";
    // The palette travels as red, green, blue: sampled colours stay near the picture's.
    for (auto [x, y] : {std::pair{10, 10}, {300, 20}, {160, 120}, {20, 230}, {310, 230}}) {
        const Rgb expected = gradient.colour[static_cast<std::size_t>(y * 2) * 640 + x * 2];
        const sim::Colour got = screen(number).colour(x, y);
        EXPECT_NEAR(got.r, expected.r, 48) << x << ", " << y;
        EXPECT_NEAR(got.g, expected.g, 48) << x << ", " << y;
        EXPECT_NEAR(got.b, expected.b, 48) << x << ", " << y;
    }
}

TEST_F(PictureFiles, ASingleColourPictureGivesOnePaletteEntry) {
    const std::int32_t number = join(318);
    show(number, dir_.write("plain.bmp", test::bmpFile(TestPicture(640, 480, {30, 120, 200}))));
    std::vector<std::uint8_t> indices = screen(number).indices();
    EXPECT_EQ(std::set<std::uint8_t>(indices.begin(), indices.end()), std::set<std::uint8_t>{0});
    // The quantiser's colour is the centre of its histogram cell: at most 8 levels off.
    const sim::Colour c = screen(number).colour(0, 0);
    EXPECT_NEAR(c.r, 30, 8);
    EXPECT_NEAR(c.g, 120, 8);
    EXPECT_NEAR(c.b, 200, 8);
}

TEST_F(PictureFiles, AModel320TerminalGetsA480By272Image) {
    const std::int32_t number = join(320);
    show(number, dir_.write("wide.bmp", test::bmpFile(TestPicture(1000, 500, kBlack))));
    auto frame = terminal(number).waitForFrame(37, 1000);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->length, 131328);
    ASSERT_EQ(screen(number).width(), 480);
    ASSERT_EQ(screen(number).height(), 272);
    for (int x = 0; x < 480; x += 5) {
        for (int y : {0, 15, 256, 271}) EXPECT_TRUE(isWhite(screen(number).colour(x, y))) << x << ", " << y;
        for (int y : {16, 136, 255}) EXPECT_TRUE(isDark(screen(number).colour(x, y))) << x << ", " << y;
    }
}

TEST_F(PictureFiles, FilesThatAreNotPicturesSendNothing) {
    const std::int32_t number = join(318);
    const FileBytes goodBmp = test::bmpFile(TestPicture(8, 8, kRed));
    FileBytes zeroWideBmp = goodBmp;
    zeroWideBmp[18] = 0;  // width 0 in the bitmap header
    const FileBytes garbage(300, 0x5A);
    for (const auto &[name, bytes] : std::vector<std::pair<std::string, FileBytes>>{
             {"picture.png", test::pngFile(TestPicture(8, 8, kRed))},
             {"picture.gif", goodBmp},
             {"picture", goodBmp},
             {"picture.bmp.txt", goodBmp},
             {"garbage.bmp", garbage},
             {"empty.bmp", {}},
             {"zero-wide.bmp", zeroWideBmp},
             {"garbage.jpg", garbage},
             {"garbage.jpeg", FileBytes{0xFF, 0xD8, 0xFF}},
             {"garbage.ico", garbage},
             {"garbage.wmf", garbage},
             {"garbage.emf", garbage},
             {"zero-wide.emf", test::emfFile(0, 100, {})},
         })
        expectRefused(number, dir_.write(name, bytes));
    std::filesystem::create_directory(dir_.path() / "folder.bmp");
    expectRefused(number, (dir_ / "folder.bmp").string());
    expectRefused(number, (dir_.path() / "missing.bmp").string());
    EXPECT_EQ(kq_sendimgfromfile(number, nullptr), 0);
}

TEST_F(PictureFiles, AMissingFileOrAnUnknownTerminalGivesZero) {
    const std::int32_t number = join(318);
    const std::string good = dir_.write("good.bmp", test::bmpFile(TestPicture(8, 8, kRed)));
    EXPECT_EQ(kq_sendimgfromfile(-1, (dir_ / "missing.bmp").c_str()), 0);
    EXPECT_EQ(kq_sendimgfromfile(0, good.c_str()), 0);
    EXPECT_EQ(kq_sendimgfromfile(number + 1, good.c_str()), 0);
    ASSERT_EQ(kq_sendimageblock(number, 0, 0, 0, 0, nullptr), 1);
    ASSERT_TRUE(terminal(number).waitForFrame(131, 2000));
    EXPECT_EQ(terminal(number).frames().size(), 1u);
}

}  // namespace
}  // namespace ks318
