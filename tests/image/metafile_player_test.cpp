// The metafile player as a host meets it through kq_sendimgfromfile: objects a
// saved state still holds after they are deleted, clip-art whose records flip
// the placeable box's window, an enhanced metafile's frame, files that ask for
// too much, and the same picture from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "image/picture_conversion.h"
#include "port/gdi/work_budget.h"
#include "tests/image/metafile_writer.h"
#include "tests/image/picture_files.h"
#include "tests/image/terminal_ppm.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using namespace test;

constexpr image::ScreenSize kScreen{320, 240};
constexpr Rgb kRed{220, 30, 30}, kGreen{30, 160, 60}, kBlue{30, 60, 200}, kYellow{240, 220, 40};

// Within the tolerance the colour reduction leaves.
bool near(const std::uint8_t *pixel, Rgb c) {
    const auto close = [](int a, int b) { return a - b < 40 && b - a < 40; };
    return close(pixel[0], c.r) && close(pixel[1], c.g) && close(pixel[2], c.b);
}

std::string describe(const std::uint8_t *pixel) {
    return std::to_string(pixel[0]) + "," + std::to_string(pixel[1]) + "," + std::to_string(pixel[2]);
}

struct Converted {
    bool taken = false;
    image::TerminalImage image;
    RgbImage rgb;
};

Converted convert(TempDir &dir, const std::string &name, const FileBytes &bytes) {
    Converted out;
    out.taken = image::convertPictureFile(dir.write(name, bytes).c_str(), kScreen, out.image);
    if (out.taken) out.rgb = paletteApplied(out.image, kScreen);
    return out;
}

// Save the state, select new objects, delete the old ones that the saved state
// refers to, draw, restore, draw again: what office suites write around groups
// of shapes. The deleted objects' slots are taken by yellow ones before the
// restore. As in GDI, a restored state whose objects were deleted keeps the
// objects in use (green, no pen); one whose objects live gets them back.
FileBytes saveDeleteRestore(bool deleteSaved) {
    WmfWriter w;
    w.setWindowOrg(0, 0);
    w.setWindowExt(100, 100);
    const int redBrush = w.createBrush(gdi::kBrushSolid, kRed);
    const int bluePen = w.createPen(gdi::kSolid, 6, kBlue);
    w.select(redBrush);
    w.select(bluePen);
    w.saveDc();
    const int greenBrush = w.createBrush(gdi::kBrushSolid, kGreen);
    const int nullPen = w.createPen(gdi::kNullPen, 0, {});
    w.select(greenBrush);
    w.select(nullPen);
    if (deleteSaved) {
        w.deleteObject(redBrush);
        w.deleteObject(bluePen);
    }
    w.rectangle({0, 0, 50, 100});
    w.createBrush(gdi::kBrushSolid, kYellow);  // into the red brush's slot, when deleted
    w.createPen(gdi::kSolid, 6, kYellow);      // into the blue pen's slot, when deleted
    w.restoreDc(-1);
    w.rectangle({55, 10, 95, 90});
    return w.placeable({0, 0, 100, 100}, 96);
}

TEST(MetafilePlayer, RestoringAStateWhoseObjectsWereDeletedKeepsTheObjectsInUse) {
    TempDir dir;
    const Converted deleted = convert(dir, "deleted.wmf", saveDeleteRestore(true));
    const Converted kept = convert(dir, "kept.wmf", saveDeleteRestore(false));
    ASSERT_TRUE(deleted.taken);
    ASSERT_TRUE(kept.taken);
    // 100 × 100 units at 96 per inch: 100 × 100 pixels, fitted to 240 × 240 at x = 40.
    for (const RgbImage *rgb : {&deleted.rgb, &kept.rgb}) EXPECT_TRUE(near(rgb->at(70, 120), kGreen));
    EXPECT_TRUE(near(deleted.rgb.at(230, 120), kGreen)) << describe(deleted.rgb.at(230, 120));
    EXPECT_TRUE(near(deleted.rgb.at(167, 120), {255, 255, 255})) << describe(deleted.rgb.at(167, 120));  // no pen
    EXPECT_TRUE(near(kept.rgb.at(230, 120), kRed)) << describe(kept.rgb.at(230, 120));
    EXPECT_TRUE(near(kept.rgb.at(167, 120), kBlue)) << describe(kept.rgb.at(167, 120));  // the 14-pixel pen
    int yellow = 0;
    for (const RgbImage *rgb : {&deleted.rgb, &kept.rgb})
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) yellow += near(rgb->at(x, y), kYellow);
    EXPECT_EQ(yellow, 0) << "objects that took deleted objects' slots were drawn";
    // The same bytes every time.
    for (int i = 0; i < 3; ++i) {
        const Converted again = convert(dir, "deleted-" + std::to_string(i) + ".wmf", saveDeleteRestore(true));
        ASSERT_TRUE(again.taken);
        EXPECT_EQ(again.image.pixels, deleted.image.pixels);
    }
}

// Clip-art as collections ship it: the placeable box runs from (-3151, 432) to
// (-311, 2605) and the records set the window at (-3151, 2605) with a negative
// height, so y grows upwards. The drawing must fill the target the right way up.
TEST(MetafilePlayer, ClipArtWhoseRecordsFlipThePlaceableWindowFillsTheTargetUpright) {
    WmfWriter w;
    w.setWindowOrg(-3151, 2605);
    w.setWindowExt(2840, -2173);
    w.select(w.createPen(gdi::kNullPen, 0, {}));
    w.select(w.createBrush(gdi::kBrushSolid, kBlue));
    w.rectangle({-3151, 432, -311, 2605});
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.rectangle({-3151, 2605, -1731, 1519});  // the drawing's top-left quarter (y up)
    TempDir dir;
    const Converted out = convert(dir, "clipart.wmf", w.placeable({-3151, 432, -311, 2605}, 1000));
    ASSERT_TRUE(out.taken);
    // 2840 × 2173 thousandths of an inch: 273 × 209 pixels, fitted 313 × 240 at x = 4.
    const RgbImage &rgb = out.rgb;
    EXPECT_TRUE(near(rgb.at(80, 60), kRed)) << describe(rgb.at(80, 60));
    EXPECT_TRUE(near(rgb.at(240, 60), kBlue)) << describe(rgb.at(240, 60));
    EXPECT_TRUE(near(rgb.at(80, 180), kBlue)) << describe(rgb.at(80, 180));
    EXPECT_TRUE(near(rgb.at(240, 180), kBlue)) << describe(rgb.at(240, 180));
    // (A rectangle drawn without a pen leaves its bottom row and right column,
    // as Windows does: the last row is the background.)
    int white = 0;
    for (int y = 0; y < 239; ++y)
        for (int x = 8; x < 312; ++x) white += near(rgb.at(x, y), {255, 255, 255});
    EXPECT_EQ(white, 0) << "parts of the target left blank";
}

// A frame of 20 × 10 mm around a drawing of 10 × 5 mm at its top-left corner:
// the frame fills the screen's width, the drawing its left half, upper half.
TEST(MetafilePlayer, AnEnhancedMetafileIsPlacedByItsFrameNotByItsDrawing) {
    EmfWriter w;
    w.select(gdi::kNullPenStock);
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.rectangle({0, 0, 38, 19});  // pixels of the 96-dpi reference device
    TempDir dir;
    const Converted out = convert(dir, "framed.emf", w.file({0, 0, 2000, 1000}, {0, 0, 37, 18}));
    ASSERT_TRUE(out.taken);
    // 76 × 38 pixels: twice as wide as high, so 320 × 160 at y = 40.
    const RgbImage &rgb = out.rgb;
    EXPECT_TRUE(near(rgb.at(80, 80), kRed)) << describe(rgb.at(80, 80));
    EXPECT_TRUE(near(rgb.at(240, 80), {255, 255, 255})) << describe(rgb.at(240, 80));
    EXPECT_TRUE(near(rgb.at(80, 160), {255, 255, 255})) << describe(rgb.at(80, 160));
}

// An 8-bit RLE bitmap of width × height in one colour, as a STRETCHDIB record's DIB.
std::vector<std::uint16_t> rleBitmapRecord(int width, int height) {
    FileBytes dib;
    auto put16 = [&](int v) { dib.push_back(static_cast<std::uint8_t>(v)), dib.push_back(static_cast<std::uint8_t>(v >> 8)); };
    auto put32 = [&](std::uint32_t v) { put16(static_cast<int>(v & 0xFFFF)), put16(static_cast<int>(v >> 16)); };
    put32(40), put32(static_cast<std::uint32_t>(width)), put32(static_cast<std::uint32_t>(height));
    put16(1), put16(8), put32(1), put32(0), put32(0), put32(0), put32(2), put32(0);
    put32(0x00C81E1E), put32(0x00FFFFFF);  // blue-ish, white
    for (int y = 0; y < height; ++y) {
        for (int left = width; left > 0; left -= 255) dib.push_back(static_cast<std::uint8_t>(std::min(left, 255))), dib.push_back(0);
        dib.push_back(0), dib.push_back(0);
    }
    dib.push_back(0), dib.push_back(1);
    if (dib.size() % 2) dib.push_back(0);
    std::vector<std::uint16_t> params{0x0020, 0x00CC, 0,  // SRCCOPY, colours
                                      WmfWriter::s16(height), WmfWriter::s16(width), 0, 0, 100, 100, 0, 0};
    for (std::size_t i = 0; i < dib.size(); i += 2) params.push_back(static_cast<std::uint16_t>(dib[i] | (dib[i + 1] << 8)));
    return params;
}

// A red square drawing with more records after it.
FileBytes drawing(const std::function<void(WmfWriter &)> &more) {
    WmfWriter w;
    w.setWindowExt(100, 100);
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.rectangle({0, 0, 100, 100});
    more(w);
    return w.placeable({0, 0, 100, 100}, 96);
}

TEST(MetafilePlayer, FilesThatAskForTooMuchAreRefused) {
    TempDir dir;
    auto taken = [&](const std::string &name, const FileBytes &bytes) { return convert(dir, name, bytes).taken; };
    ASSERT_TRUE(taken("plain.wmf", drawing([](WmfWriter &) {})));

    // A million records (saving the state over and over).
    EXPECT_FALSE(taken("million.wmf", drawing([](WmfWriter &w) {
        for (int i = 0; i < 1'000'000; ++i) w.saveDc();
    })));
    // Half of that is still a picture, and restoring past the saved states is harmless.
    EXPECT_TRUE(taken("many.wmf", drawing([](WmfWriter &w) {
        for (int i = 0; i < 200'000; ++i) w.saveDc();
        for (int i = 0; i < 3; ++i) w.restoreDc(-100'000);
    })));
    // A record reaching past the end of the file, and a file without its end record.
    FileBytes cut = drawing([](WmfWriter &) {});
    cut.resize(cut.size() - 8);
    EXPECT_FALSE(taken("cut.wmf", cut));
    FileBytes endless = drawing([](WmfWriter &) {});
    endless.resize(endless.size() - 6);
    EXPECT_FALSE(taken("endless.wmf", endless));
}

// Our own player's bounds (Windows plays what GDI is given): a bitmap over the
// picture pixel limit, or more work than the budget, refuses the whole file.
TEST(MetafilePlayer, WorkBeyondTheBudgetRefusesTheFile) {
#ifdef _WIN32
    GTEST_SKIP() << "GDI plays metafiles on Windows";
#endif
    TempDir dir;
    auto taken = [&](const std::string &name, const FileBytes &bytes) { return convert(dir, name, bytes).taken; };
    // A bitmap claiming 65535 × 65535 pixels (4 GiB as true colour) with a few bytes.
    EXPECT_FALSE(taken("huge-bitmap.wmf", drawing([](WmfWriter &w) {
        std::vector<std::uint16_t> params = rleBitmapRecord(8, 8);
        params[3] = params[4] = 0xFFFF;
        params[11 + 2] = params[11 + 4] = 0xFFFF;  // the header's width and height (low words)
        w.record(0x0F43, params);
    })));
    // Bitmaps of 4096 × 4096 pixels (a unit of work each): one fits the work
    // budget, three do not.
    static_assert(port::gdi::kMetafileWorkUnits / (4096 * 4096) == 2);
    EXPECT_TRUE(taken("one-bitmap.wmf", drawing([](WmfWriter &w) { w.record(0x0F43, rleBitmapRecord(4096, 4096)); })));
    EXPECT_FALSE(taken("three-bitmaps.wmf", drawing([](WmfWriter &w) {
        for (int i = 0; i < 3; ++i) w.record(0x0F43, rleBitmapRecord(4096, 4096));
    })));
    // Thousands of shapes whose edges cross the whole picture, over and over.
    EXPECT_FALSE(taken("scribble.wmf", drawing([](WmfWriter &w) {
        std::vector<Point> zigzag;
        for (int i = 0; i < 16000; ++i) zigzag.push_back({(i % 2) * 100, (i * 7) % 100});
        for (int i = 0; i < 300; ++i) w.polygon(zigzag);
    })));
}

// Twenty threads convert a metafile (text, arcs, the save/delete/restore
// pattern) and a JPEG at once, three times each: every result is the one a
// single thread gets.
TEST(MetafilePlayer, ConversionsAreTheSameFromManyThreadsAtOnce) {
    WmfWriter w;
    w.setWindowExt(200, 100);
    w.select(w.createBrush(gdi::kBrushSolid, kYellow));
    w.ellipse({10, 10, 90, 90});
    w.select(w.createPen(gdi::kDash, 0, kBlue));
    w.arc({100, 10, 190, 90}, {190, 50}, {100, 50});
    w.select(w.createFont(Font{-18, 700, false, 0, "DejaVu Sans"}));
    w.setTextColour(kRed);
    w.textOut(20, 40, "KS318 metafile");
    const FileBytes metafile = w.placeable({0, 0, 200, 100}, 96);
    const FileBytes saved = saveDeleteRestore(true);
    const FileBytes jpeg = jpegFileOf(640, 480, 90, [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x * 255 / 640), static_cast<std::uint8_t>(y * 255 / 480), 128};
    });

    TempDir dir;
    const std::array<std::string, 3> paths{dir.write("text.wmf", metafile), dir.write("saved.wmf", saved),
                                           dir.write("photo.jpg", jpeg)};
    std::array<image::TerminalImage, 3> expected;
    for (std::size_t i = 0; i < paths.size(); ++i)
        ASSERT_TRUE(image::convertPictureFile(paths[i].c_str(), kScreen, expected[i])) << paths[i];

    constexpr int kThreads = 20;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    image::TerminalImage image;
                    const bool taken = image::convertPictureFile(paths[(i + t) % paths.size()].c_str(), kScreen, image);
                    const image::TerminalImage &want = expected[(i + t) % paths.size()];
                    if (!taken || image.pixels != want.pixels || image.colours != want.colours ||
                        std::memcmp(image.palette, want.palette, sizeof image.palette) != 0)
                        ++mismatches[static_cast<std::size_t>(t)];
                }
        });
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
}  // namespace ks318
