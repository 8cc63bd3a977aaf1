// Figures of an enhanced metafile's path as GDI keeps them: LINETO, POLYLINETO
// and POLYBEZIERTO (32- and 16-bit points) carry on the open figure until
// MOVETO, CLOSEFIGURE or the path's end. Each file is 100 × 100 pixels, shown
// 240 × 240 at x = 40 on the 320 × 240 screen.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "image/picture_conversion.h"
#include "tests/image/metafile_writer.h"
#include "tests/image/terminal_ppm.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using namespace test;

constexpr image::ScreenSize kScreen{320, 240};
constexpr Rgb kRed{220, 30, 30}, kBlue{30, 60, 200}, kWhite{255, 255, 255};

class PathFigures : public ::testing::TestWithParam<bool> {  // 16-bit points?
protected:
    // Draws `path` between BEGINPATH and ENDPATH with a red brush and a 3-unit
    // blue pen, then `draw` ends it (FILLPATH or STROKEPATH).
    void play(const std::function<void(EmfWriter &)> &path, const std::function<void(EmfWriter &)> &draw) {
        EmfWriter w;
        w.select(w.createBrush(gdi::kBrushSolid, kRed));
        w.select(w.createPen(gdi::kSolid, 3, kBlue));
        w.beginPath();
        path(w);
        w.endPath();
        draw(w);
        TempDir dir;
        image::TerminalImage image;
        ASSERT_TRUE(image::convertPictureFile(dir.write("path.emf", w.fileInPixels({0, 0, 100, 100})).c_str(), kScreen, image));
        rgb_ = paletteApplied(image, kScreen);
    }
    // The colour at logical (x, y), within the colour reduction's tolerance.
    bool is(int x, int y, Rgb c) const {
        const std::uint8_t *p = rgb_.at(40 + x * 12 / 5, y * 12 / 5);
        const auto close = [](int a, int b) { return a - b < 40 && b - a < 40; };
        return close(p[0], c.r) && close(p[1], c.g) && close(p[2], c.b);
    }
    void polylineTo(EmfWriter &w, const std::vector<Point> &points) {
        GetParam() ? w.polylineTo16(points) : w.polylineTo(points);
    }
    void polyBezierTo(EmfWriter &w, const std::vector<Point> &points) {
        GetParam() ? w.polyBezierTo16(points) : w.polyBezierTo(points);
    }
    // A square of side 60 from (x, y): MOVETO, LINETO, POLYLINETO of two points.
    void square(EmfWriter &w, int x, int y) {
        w.moveTo(x, y);
        w.lineTo(x + 60, y);
        polylineTo(w, {{x + 60, y + 60}, {x, y + 60}});
    }

    RgbImage rgb_;
};

TEST_P(PathFigures, ASquareOfLineToAndPolylineToFillsWhole) {
    play([&](EmfWriter &w) { square(w, 20, 20); }, [](EmfWriter &w) { w.fillPath(); });
    EXPECT_TRUE(is(30, 70, kRed)) << "the corner below the diagonal is left out";
    EXPECT_TRUE(is(70, 30, kRed));
    EXPECT_TRUE(is(10, 10, kWhite));
}

// POLYLINETO, POLYBEZIERTO, LINETO and POLYLINETO again make one figure.
TEST_P(PathFigures, AFigureGoesOnThroughEveryKindOfLine) {
    play(
        [&](EmfWriter &w) {
            w.moveTo(10, 10);
            polylineTo(w, {{50, 10}});
            polyBezierTo(w, {{70, 10}, {90, 10}, {90, 40}});
            w.lineTo(90, 90);
            polylineTo(w, {{10, 90}});
        },
        [](EmfWriter &w) { w.fillPath(); });
    for (const Point p : std::initializer_list<Point>{{20, 80}, {20, 20}, {80, 80}, {50, 50}})
        EXPECT_TRUE(is(p.x, p.y, kRed)) << p.x << "," << p.y;
    EXPECT_TRUE(is(5, 50, kWhite));
}

// Two squares, the first left open and the second closed: both are filled,
// and CLOSEFIGURE closes the second only.
TEST_P(PathFigures, EachFigureOfAPathIsItsOwn) {
    const auto twoSquares = [&](EmfWriter &w) {
        square(w, 5, 5);
        square(w, 35, 35);
        w.closeFigure();
    };
    play(twoSquares, [](EmfWriter &w) { w.fillPath(); });
    EXPECT_TRUE(is(10, 60, kRed)) << "the first square";
    EXPECT_TRUE(is(40, 90, kRed)) << "the second square";
    EXPECT_TRUE(is(90, 10, kWhite));
    play(twoSquares, [](EmfWriter &w) { w.strokePath(); });
    EXPECT_TRUE(is(5, 35, kWhite)) << "the first square is open";
    EXPECT_TRUE(is(35, 80, kBlue)) << "the second square's closing edge";
    EXPECT_TRUE(is(60, 95, kBlue)) << "the second square's last edge";
}

// MOVETO P, LINETO Q, MOVETO R, LINETO S: two lines, nothing from Q to S.
TEST_P(PathFigures, MoveToStartsANewFigure) {
    play(
        [&](EmfWriter &w) {
            w.moveTo(10, 20);
            w.lineTo(90, 20);
            w.moveTo(10, 80);
            if (GetParam()) polylineTo(w, {{90, 80}});
            else w.lineTo(90, 80);
        },
        [](EmfWriter &w) { w.strokePath(); });
    EXPECT_TRUE(is(50, 20, kBlue));
    EXPECT_TRUE(is(50, 80, kBlue));
    EXPECT_TRUE(is(90, 50, kWhite)) << "the first line's end was joined to the second's";
}

INSTANTIATE_TEST_SUITE_P(Points, PathFigures, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Short" : "Long"; });

}  // namespace
}  // namespace ks318
