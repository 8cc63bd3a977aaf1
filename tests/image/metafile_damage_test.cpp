// Damaged metafiles get the same answer on both platforms, and none reaches a
// player: a record whose own counts, offsets or sizes reach past it refuses the
// whole file (on Windows GDI would read past the record, and crashed on the
// first three here). Large frames are taken: a metafile's size only places it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "image/picture_conversion.h"
#include "tests/image/metafile_writer.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using namespace test;

constexpr image::ScreenSize kScreen{320, 240};
constexpr Rgb kRed{220, 30, 30};

bool taken(const std::string &name, const FileBytes &bytes) {
    TempDir dir;
    image::TerminalImage image;
    return image::convertPictureFile(dir.write(name, bytes).c_str(), kScreen, image);
}

// Where the first record of `type` starts in an enhanced metafile.
std::size_t findRecord(const FileBytes &file, std::uint32_t type) {
    for (std::size_t at = 0; at + 8 <= file.size();) {
        const std::uint32_t kind = file[at] | (file[at + 1] << 8), size = file[at + 4] | (file[at + 5] << 8);
        if (kind == type) return at;
        at += size;
    }
    ADD_FAILURE() << "no record " << type;
    return 0;
}

// A good file and the same with one field of one record set to `value`.
struct Damaged {
    FileBytes good, bad;
};

Damaged windowsPolyPolygon(std::uint16_t polygons) {
    const auto file = [](std::uint16_t count) {
        WmfWriter w;
        w.setWindowExt(100, 100);
        w.select(w.createBrush(gdi::kBrushSolid, kRed));
        // Two triangles: the number of polygons, their point counts, the points.
        w.record(0x0538, {count, 3, 3, 10, 10, 90, 10, 50, 50, 10, 90, 90, 90, 50, 60});
        return w.placeable({0, 0, 100, 100}, 96);
    };
    return {file(2), file(polygons)};
}

// EXTTEXTOUTW: bounds, graphics mode, scales, then the text's reference point,
// character count, string offset, options, rectangle and spacing offset.
Damaged enhancedText(std::uint32_t characters) {
    const auto file = [](std::uint32_t count) {
        EmfWriter w;
        FileBytes fields = EmfWriter::ints({0, 0, 100, 100, 1, 0, 0, 10, 50});
        put32(fields, count), put32(fields, 76), put32(fields, 0);
        for (int v : {0, 0, -1, -1}) put32(fields, static_cast<std::uint32_t>(v));
        put32(fields, 80);
        for (char c : std::string("Hi")) put16(fields, static_cast<std::uint8_t>(c));
        put32(fields, 20), put32(fields, 20);
        w.record(84, fields);
        return w.fileInPixels({0, 0, 100, 100});
    };
    return {file(2), file(characters)};
}

Damaged enhancedBitmap(std::size_t field, std::uint32_t value) {
    EmfWriter w;
    w.stretchDiBits({0, 0, 100, 100}, Dib::trueColour(2, 2, {kRed, kRed, kRed, kRed}));
    Damaged d{w.fileInPixels({0, 0, 100, 100}), {}};
    d.bad = d.good;
    patch32(d.bad, findRecord(d.bad, 81) + field, value);
    return d;
}

Damaged enhancedPolygon(std::uint32_t points) {
    EmfWriter w;
    w.polygon({{10, 10}, {90, 10}, {50, 90}});
    Damaged d{w.fileInPixels({0, 0, 100, 100}), {}};
    d.bad = d.good;
    patch32(d.bad, findRecord(d.bad, 3) + 24, points);
    return d;
}

Damaged windowsPolygon(std::uint16_t points) {
    const auto file = [](std::uint16_t count) {
        WmfWriter w;
        w.setWindowExt(100, 100);
        w.record(0x0324, {count, 10, 10, 90, 10, 50, 90});
        return w.placeable({0, 0, 100, 100}, 96);
    };
    return {file(3), file(points)};
}

TEST(DamagedMetafile, ARecordClaimingMoreThanItHoldsRefusesTheFile) {
    const struct {
        std::string name;
        Damaged files;
    } cases[] = {
        {"polypolygon-65535.wmf", windowsPolyPolygon(0xFFFF)},
        {"polypolygon-3.wmf", windowsPolyPolygon(3)},
        {"polygon-4.wmf", windowsPolygon(4)},
        {"text-7fffffff.emf", enhancedText(0x7FFFFFFF)},
        {"text-3.emf", enhancedText(3)},
        {"bitmap-info-7ffffff0.emf", enhancedBitmap(48, 0x7FFFFFF0)},
        {"bitmap-bits-past.emf", enhancedBitmap(60, 0x1000)},       // the rows' size
        {"bitmap-wide.emf", enhancedBitmap(80 + 4, 0x10000)},       // the header's width: rows past the record
        {"polygon-4.emf", enhancedPolygon(4)},
        {"polygon-huge.emf", enhancedPolygon(0x40000000)},
    };
    for (const auto &c : cases) {
        EXPECT_TRUE(taken("good-" + c.name, c.files.good)) << c.name;
        EXPECT_FALSE(taken(c.name, c.files.bad)) << c.name;
    }
}

// Formerly refused beyond 16,384 pixels a side: now only the screen's size is drawn.
TEST(DamagedMetafile, FramesOfAnySizeArePlaced) {
    EmfWriter w;
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.rectangle({0, 0, 40000, 20000});
    EXPECT_TRUE(taken("wide.emf", w.fileInPixels({0, 0, 40000, 20000})));
    WmfWriter p;
    p.setWindowExt(30000, 30000);
    p.rectangle({0, 0, 30000, 30000});
    EXPECT_TRUE(taken("wide.wmf", p.placeable({0, 0, 30000, 30000}, 72)));  // 40,000 pixels a side
}

// An end record before the file's end: what follows is never played (GDI
// played on to the header's size, into an object past the table, and crashed).
TEST(DamagedMetafile, NothingAfterTheFirstEndRecordIsPlayed) {
    EmfWriter w;
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.rectangle({0, 0, 100, 100});
    w.record(14, EmfWriter::ints({0, 16, 20}));
    w.select(0x00153EF8);
    w.rectangle({0, 0, 50, 50});
    EXPECT_TRUE(taken("early-end.emf", w.fileInPixels({0, 0, 100, 100})));
    WmfWriter p;
    p.setWindowExt(100, 100);
    p.rectangle({0, 0, 100, 100});
    p.record(0x0000, {});
    p.record(0x012D, {0x7FFF});  // SELECTOBJECT
    p.rectangle({0, 0, 50, 50});
    EXPECT_TRUE(taken("early-end.wmf", p.placeable({0, 0, 100, 100}, 96)));
}

// Curves about a million pixels across (where Wine's GDI wrote past its
// buffers and ended the host) are taken on both platforms.
TEST(DamagedMetafile, HugeCurvesAreTaken) {
    for (const int side : {1 << 18, 1 << 20, 1 << 22}) {
        EmfWriter w;
        w.select(w.createBrush(gdi::kBrushSolid, kRed));
        w.chord({-side, -side, side, side / 3}, {side, 215}, {390, 215});
        w.pie({-side, 0, 300, side}, {0, 0}, {300, 300});
        w.ellipse({0, -side, side, 100});
        EXPECT_TRUE(taken("curves.emf", w.fileInPixels({0, 0, 400, 300}))) << side;
    }
    WmfWriter w;
    w.setWindowExt(100, 100);
    w.ellipse({-30000, -30000, 30000, 30000});  // 144,000 pixels a side on the screen
    EXPECT_TRUE(taken("curves.wmf", w.placeable({0, 0, 100, 100}, 48)));
}

}  // namespace
}  // namespace ks318
