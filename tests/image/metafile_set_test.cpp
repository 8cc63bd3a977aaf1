// The test metafile writers and the set both platforms render: records and
// headers as the formats lay them out, every file of the set taken and drawn,
// plain WMFs sized one window unit to one pixel whatever the screen, and the
// pixel comparison the cross-platform run relies on.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "image/picture_conversion.h"
#include "tests/image/metafile_set.h"
#include "tests/image/metafile_writer.h"
#include "tests/image/terminal_ppm.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using namespace test;

constexpr image::ScreenSize kScreen{320, 240};

std::uint32_t le16(const FileBytes &b, std::size_t at) { return b.at(at) | (b.at(at + 1) << 8); }
std::uint32_t le32(const FileBytes &b, std::size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }
std::int32_t s32(const FileBytes &b, std::size_t at) { return static_cast<std::int32_t>(le32(b, at)); }

struct WmfRecord {
    std::size_t at;  // byte offset of the record
    std::uint32_t words;
    std::uint16_t function;
    std::int16_t param(const FileBytes &b, int i) const { return static_cast<std::int16_t>(le16(b, at + 6 + 2 * i)); }
};

// Walks a WMF's records by their sizes, checking the header against them.
std::vector<WmfRecord> wmfRecords(const FileBytes &file) {
    std::vector<WmfRecord> records;
    std::size_t start = 0;
    if (le32(file, 0) == 0x9AC6CDD7u) start = 22;
    EXPECT_EQ(le16(file, start), 1u);
    EXPECT_EQ(le16(file, start + 2), 9u);
    EXPECT_EQ(le32(file, start + 6) * 2, file.size() - start) << "size in words";
    const std::uint32_t largest = le32(file, start + 12);
    std::uint32_t seenLargest = 0;
    for (std::size_t at = start + 18; at < file.size();) {
        const WmfRecord record{at, le32(file, at), static_cast<std::uint16_t>(le16(file, at + 4))};
        if (record.words < 3 || at + record.words * 2 > file.size()) {
            ADD_FAILURE() << "record at " << at << " runs past the file";
            break;
        }
        seenLargest = std::max(seenLargest, record.words);
        records.push_back(record);
        at += record.words * 2;
    }
    EXPECT_EQ(largest, seenLargest) << "largest record";
    EXPECT_FALSE(records.empty());
    if (!records.empty()) {
        EXPECT_EQ(records.back().function, 0) << "the end-of-file record is last";
        EXPECT_EQ(records.back().at + 6, file.size());
    }
    return records;
}

struct EmfRecord {
    std::size_t at;
    std::uint32_t type, size;
};

std::vector<EmfRecord> emfRecords(const FileBytes &file) {
    std::vector<EmfRecord> records;
    EXPECT_EQ(le32(file, 0), 1u);
    EXPECT_EQ(le32(file, 40), 0x464D4520u);
    EXPECT_EQ(le32(file, 48), file.size()) << "bytes";
    for (std::size_t at = 0; at < file.size();) {
        const EmfRecord record{at, le32(file, at), le32(file, at + 4)};
        if (record.size < 8 || record.size % 4 != 0 || at + record.size > file.size()) {
            ADD_FAILURE() << "record at " << at << " has a bad size " << record.size;
            break;
        }
        records.push_back(record);
        at += record.size;
    }
    EXPECT_EQ(le32(file, 52), records.size()) << "records";
    EXPECT_EQ(records.back().type, 14u) << "the end-of-file record is last";
    return records;
}

TEST(MetafileWriter, WmfRecordsCarryTheirParametersInFileOrder) {
    WmfWriter w;
    w.setWindowOrg(-3151, 2605);
    w.setWindowExt(2840, -2173);
    w.rectangle({1, 2, 3, 4});
    w.arc({10, 20, 30, 40}, {5, 6}, {7, 8});
    w.polygon({{1, 2}, {3, 4}, {5, 6}});
    w.restoreDc(-1);
    const FileBytes file = w.file();
    const std::vector<WmfRecord> r = wmfRecords(file);
    ASSERT_EQ(r.size(), 7u);
    // Windows metafiles put y before x, and the box's edges bottom first.
    EXPECT_EQ(r[0].function, 0x020B);
    EXPECT_EQ(r[0].param(file, 0), 2605);
    EXPECT_EQ(r[0].param(file, 1), -3151);
    EXPECT_EQ(r[1].function, 0x020C);
    EXPECT_EQ(r[1].param(file, 0), -2173);
    EXPECT_EQ(r[1].param(file, 1), 2840);
    EXPECT_EQ(r[2].function, 0x041B);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r[2].param(file, i), 4 - i);
    EXPECT_EQ(r[3].function, 0x0817);
    const std::vector<int> arc{8, 7, 6, 5, 40, 30, 20, 10};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(r[3].param(file, i), arc[i]) << i;
    EXPECT_EQ(r[4].words, 3u + 1 + 6);
    EXPECT_EQ(r[4].param(file, 0), 3);
    EXPECT_EQ(r[5].param(file, 0), -1);
}

TEST(MetafileWriter, WmfObjectsTakeTheLowestFreeSlotAndTheHeaderCountsThem) {
    WmfWriter w;
    EXPECT_EQ(w.createPen(gdi::kSolid, 1, {}), 0);
    EXPECT_EQ(w.createBrush(gdi::kBrushSolid, {}), 1);
    EXPECT_EQ(w.createFont(Font{}), 2);
    w.deleteObject(1);
    EXPECT_EQ(w.createBrush(gdi::kBrushNull, {}), 1);
    EXPECT_EQ(w.createPen(gdi::kDash, 1, {}), 3);
    EXPECT_THROW(w.deleteObject(7), std::logic_error);
    const FileBytes file = w.file();
    wmfRecords(file);
    EXPECT_EQ(le16(file, 10), 4u) << "object slots";
}

TEST(MetafileWriter, PlaceableHeaderHoldsTheBoxAndItsChecksum) {
    WmfWriter w;
    w.rectangle({0, 0, 10, 10});
    const FileBytes file = w.placeable({-3151, 432, -311, 2605}, 1000);
    EXPECT_EQ(le32(file, 0), 0x9AC6CDD7u);
    EXPECT_EQ(static_cast<std::int16_t>(le16(file, 6)), -3151);
    EXPECT_EQ(static_cast<std::int16_t>(le16(file, 12)), 2605);
    EXPECT_EQ(le16(file, 14), 1000u);
    std::uint32_t checksum = 0;
    for (int i = 0; i < 10; ++i) checksum ^= le16(file, 2 * i);
    EXPECT_EQ(le16(file, 20), checksum);
    wmfRecords(file);
}

TEST(MetafileWriter, WmfBitmapRecordsHoldTheWholeDib) {
    WmfWriter w;
    const Dib dib = Dib::paletted(3, 2, {{1, 2, 3}, {4, 5, 6}}, {0, 1, 0, 1, 0, 1});
    w.dibStretchBlt({10, 20, 110, 70}, dib);
    const FileBytes file = w.file();
    const std::vector<WmfRecord> r = wmfRecords(file);
    ASSERT_EQ(r.size(), 2u);
    // rop (2 words), source height and width, source y and x, then the target's
    // height, width, y, x; the DIB's header follows.
    EXPECT_EQ(r[0].param(file, 2), 2);
    EXPECT_EQ(r[0].param(file, 3), 3);
    EXPECT_EQ(r[0].param(file, 6), 50);
    EXPECT_EQ(r[0].param(file, 7), 100);
    EXPECT_EQ(r[0].param(file, 8), 20);
    EXPECT_EQ(r[0].param(file, 9), 10);
    const std::size_t dibAt = r[0].at + 6 + 20;
    EXPECT_EQ(le32(file, dibAt), 40u);
    EXPECT_EQ(le16(file, dibAt + 14), 8u);
    // Header, two palette entries, two rows of 3 indices padded to 4.
    EXPECT_EQ(r[0].words * 2, 6 + 20 + 40 + 8 + 8u);
}

TEST(MetafileWriter, EmfHeaderCountsRecordsBytesAndHandles) {
    EmfWriter e;
    const int pen = e.createPen(gdi::kSolid, 3, {});
    const int brush = e.createBrush(gdi::kBrushSolid, {});
    e.select(pen);
    e.deleteObject(pen);
    EXPECT_EQ(e.createFont(Font{}), pen) << "the lowest free handle again";
    EXPECT_EQ(brush, 2);
    const FileBytes file = e.fileInPixels({0, 0, 96, 48});
    const std::vector<EmfRecord> r = emfRecords(file);
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(le16(file, 56), 3u) << "handles: the metafile's own and two";
    // 96 × 48 pixels at 96 dots per inch: 2540 × 1270 hundredths of a millimetre.
    EXPECT_EQ(s32(file, 32), 2540);
    EXPECT_EQ(s32(file, 36), 1270);
    EXPECT_EQ(r[5].type, 82u);
    EXPECT_EQ(r[5].size, 332u);
}

TEST(MetafileWriter, EmfTextAndBitmapRecordsPointInsideThemselves) {
    EmfWriter e;
    e.extTextOut(5, 6, gdi::kTextOpaque, {1, 2, 3, 4}, "abc", 9);
    e.stretchDiBits({10, 10, 50, 30}, Dib::trueColour(2, 1, {{255, 0, 0}, {0, 0, 255}}));
    const FileBytes file = e.fileInPixels({0, 0, 64, 64});
    const std::vector<EmfRecord> r = emfRecords(file);
    ASSERT_EQ(r.size(), 4u);
    const std::size_t text = r[1].at;
    EXPECT_EQ(le32(file, text + 44), 3u);  // characters
    const std::uint32_t stringAt = le32(file, text + 48), dxAt = le32(file, text + 72);
    EXPECT_EQ(le16(file, text + stringAt), 'a');
    EXPECT_EQ(le16(file, text + stringAt + 4), 'c');
    EXPECT_EQ(le32(file, text + dxAt + 8), 9u);
    EXPECT_EQ(dxAt + 12, r[1].size);
    const std::size_t blt = r[2].at;
    const std::uint32_t bmiAt = le32(file, blt + 48), bitsAt = le32(file, blt + 56), bits = le32(file, blt + 60);
    EXPECT_EQ(le32(file, blt + bmiAt), 40u);
    EXPECT_EQ(bits, 8u);  // one row of two pixels, padded to 8 bytes
    EXPECT_EQ(bitsAt + bits, r[2].size);
    EXPECT_EQ(file[blt + bitsAt + 2], 255) << "red, stored blue first";
    EXPECT_EQ(s32(file, blt + 72), 40);
    EXPECT_EQ(s32(file, blt + 76), 20);
}

TEST(MetafileSet, EveryFileIsWellFormedAndNamedOnce) {
    std::set<std::string> names;
    for (const NamedMetafile &file : metafileSet()) {
        SCOPED_TRACE(file.name);
        EXPECT_TRUE(names.insert(file.name).second);
        const std::string extension = file.name.substr(file.name.size() - 4);
        if (extension == ".wmf") {
            wmfRecords(file.bytes);
        } else {
            ASSERT_EQ(extension, ".emf");
            emfRecords(file.bytes);
        }
    }
    EXPECT_GE(names.size(), 30u);
}

// Share of pixels that are not white.
double drawnShare(const RgbImage &image) {
    std::int64_t drawn = 0;
    for (std::size_t i = 0; i < image.rgb.size(); i += 3)
        if (image.rgb[i] < 200 || image.rgb[i + 1] < 200 || image.rgb[i + 2] < 200) ++drawn;
    return static_cast<double>(drawn) / (image.rgb.size() / 3);
}

TEST(MetafileSet, EveryFileIsTakenAndDrawn) {
    TempDir dir;
    for (const NamedMetafile &file : metafileSet()) {
        SCOPED_TRACE(file.name);
        image::TerminalImage image;
        ASSERT_TRUE(image::convertPictureFile(dir.write(file.name, file.bytes).c_str(), kScreen, image));
        const RgbImage rgb = paletteApplied(image, kScreen);
        ASSERT_EQ(rgb.width, 320);
        // Every file paints most of its picture; at least a fifth of the screen.
        EXPECT_GT(drawnShare(rgb), 0.2);
    }
}

// A plain WMF's picture is its window at one unit a pixel: a 4:1 window fills
// the screen's width and a quarter of that in height, whatever the screen of the
// machine that converts it. Without a window the records are in pixels.
TEST(MetafileSet, PlainWmfIsSizedByItsWindowAtOneUnitAPixel) {
    struct Case {
        const char *name;
        bool window;
        int orgY, extX, extY;
        int top, bottom;  // the dark band's rows on the 320 × 240 screen
    };
    TempDir dir;
    for (Case c : {Case{"wide.wmf", true, 0, 400, 100, 80, 160}, Case{"wide-flipped.wmf", true, 100, 400, -100, 80, 160},
                   Case{"tall.wmf", true, 0, 100, 300, 0, 240}, Case{"pixels.wmf", false, 0, 400, 100, 80, 160}}) {
        SCOPED_TRACE(c.name);
        WmfWriter w;
        if (c.window) {
            w.setMapMode(gdi::kMapAnisotropic);
            w.setWindowOrg(0, c.orgY);
            w.setWindowExt(c.extX, c.extY);
        }
        w.select(w.createPen(gdi::kNullPen, 0, {}));
        w.select(w.createBrush(gdi::kBrushSolid, {0, 0, 0}));
        const int shift = c.window ? 0 : 50;  // away from the origin: only the bounds count
        w.rectangle({shift, shift, shift + c.extX, shift + std::abs(c.extY)});
        image::TerminalImage image;
        ASSERT_TRUE(image::convertPictureFile(dir.write(c.name, w.file()).c_str(), kScreen, image));
        const RgbImage rgb = paletteApplied(image, kScreen);
        // The tall one is 80 wide: columns 120 to 199.
        const int left = c.extX < std::abs(c.extY) ? 120 : 0, right = c.extX < std::abs(c.extY) ? 200 : 320;
        int wrong = 0;
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                // One pixel of slack at each edge of the band.
                if (y == c.top - 1 || y == c.top || y == c.bottom - 1 || y == c.bottom) continue;
                if (x == left - 1 || x == left || x == right - 1 || x == right) continue;
                const bool inside = y >= c.top && y < c.bottom && x >= left && x < right;
                const std::uint8_t *p = rgb.at(x, y);
                const bool dark = p[0] < 60 && p[1] < 60 && p[2] < 60;
                const bool white = p[0] > 200 && p[1] > 200 && p[2] > 200;
                if (inside ? !dark : !white) ++wrong;
            }
        EXPECT_EQ(wrong, 0) << "pixels on the wrong side of the band";
    }
}

TEST(PixelComparison, CountsPixelsWithinTheToleranceOnEveryChannel) {
    RgbImage a{4, 2, std::vector<std::uint8_t>(24, 100)};
    RgbImage b = a;
    EXPECT_EQ(agreement(a, b, 0).agreeing, 8);
    EXPECT_DOUBLE_EQ(agreement(a, b, 0).percent(), 100.0);
    b.rgb[0] = 148;  // red of pixel 0: 48 off
    b.rgb[5] = 51;   // blue of pixel 1: 49 off
    b.rgb[9] = 200;  // red of pixel 3
    b.rgb[10] = 110;
    const Agreement within48 = agreement(a, b, 48);
    EXPECT_EQ(within48.total, 8);
    EXPECT_EQ(within48.agreeing, 6);
    EXPECT_DOUBLE_EQ(within48.percent(), 75.0);
    EXPECT_EQ(agreement(a, b, 49).agreeing, 7);
    EXPECT_EQ(agreement(a, b, 0).agreeing, 5);
    const RgbImage other{2, 4, a.rgb};
    EXPECT_EQ(agreement(a, other, 255).total, 0) << "different sizes never agree";
    EXPECT_EQ(agreement(RgbImage{}, RgbImage{}, 255).total, 0);
}

TEST(PixelComparison, PpmRoundTripsAndShortFilesAreRefused) {
    TempDir dir;
    RgbImage image{3, 2, {}};
    for (int i = 0; i < 18; ++i) image.rgb.push_back(static_cast<std::uint8_t>(i * 13 + 10));  // includes '\n' bytes
    ASSERT_TRUE(writePpm(dir.path() / "a.ppm", image));
    const RgbImage back = readPpm(dir.path() / "a.ppm");
    EXPECT_EQ(back.width, 3);
    EXPECT_EQ(back.height, 2);
    EXPECT_EQ(back.rgb, image.rgb);
    FileBytes bytes = TempDir::read(dir.path() / "a.ppm");
    bytes.pop_back();
    EXPECT_EQ(readPpm(dir.write("short.ppm", bytes)).width, 0);
    EXPECT_EQ(readPpm(dir.path() / "missing.ppm").width, 0);
}

TEST(PixelComparison, PaletteIsAppliedToEveryPixel) {
    image::TerminalImage image;
    image.pixels.assign(320 * 240, 0);
    image.pixels[321] = 2;
    image.palette[6] = 10, image.palette[7] = 20, image.palette[8] = 30;
    image.palette[0] = 255;
    const RgbImage rgb = paletteApplied(image, kScreen);
    ASSERT_EQ(rgb.rgb.size(), 320u * 240 * 3);
    EXPECT_EQ(rgb.at(1, 1)[0], 10);
    EXPECT_EQ(rgb.at(1, 1)[2], 30);
    EXPECT_EQ(rgb.at(0, 0)[0], 255);
    EXPECT_EQ(rgb.at(319, 239)[1], 0);
}

}  // namespace
}  // namespace ks318
