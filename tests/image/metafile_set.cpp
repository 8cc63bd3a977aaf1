#include "tests/image/metafile_set.h"

#include <cmath>
#include <numbers>

namespace ks318::test {
namespace {

constexpr Rgb kInk{0, 0, 0};
constexpr Rgb kPaper{250, 245, 225};
constexpr Rgb kSky{150, 200, 240};
constexpr Rgb kRed{220, 30, 30};
constexpr Rgb kBlue{30, 40, 210};
constexpr Rgb kGreen{30, 160, 60};
constexpr Rgb kYellow{240, 210, 40};
constexpr Rgb kOrange{240, 130, 20};
constexpr Rgb kPurple{130, 40, 160};
constexpr Rgb kTeal{20, 140, 150};
constexpr Rgb kGrey{128, 128, 128};
constexpr Rgb kPink{240, 150, 180};
constexpr Rgb kBrown{120, 70, 30};

// A bitmap of w × h cells in colours taken round the list, so neighbouring cells
// differ: large blocks once stretched.
Dib blocks(int width, int height, const std::vector<Rgb> &colours, bool paletted) {
    std::vector<std::uint8_t> indices;
    std::vector<Rgb> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto i = static_cast<std::uint8_t>((x + 2 * y) % colours.size());
            indices.push_back(i);
            pixels.push_back(colours[i]);
        }
    return paletted ? Dib::paletted(width, height, colours, indices) : Dib::trueColour(width, height, pixels);
}

// The points of a five-pointed star drawn in one stroke: its middle is covered
// twice, so the fill mode decides whether it is filled.
std::vector<Point> star(int cx, int cy, int radius) {
    std::vector<Point> points;
    for (int i = 0; i < 5; ++i) {
        const double angle = -std::numbers::pi / 2 + i * 4 * std::numbers::pi / 5;
        points.push_back({cx + static_cast<int>(std::lround(radius * std::cos(angle))),
                          cy + static_cast<int>(std::lround(radius * std::sin(angle)))});
    }
    return points;
}

// --- Windows metafiles --------------------------------------------------------

// Placeable, 800 × 600 units at 1440 a inch, with every filled shape.
FileBytes wmfPlaceableShapes() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowOrg(0, 0);
    w.setWindowExt(800, 600);
    const int outline = w.createPen(gdi::kSolid, 6, kInk);
    const int paper = w.createBrush(gdi::kBrushSolid, kPaper);
    w.select(outline);
    w.select(paper);
    w.rectangle({0, 0, 800, 600});
    const int red = w.createBrush(gdi::kBrushSolid, kRed);
    w.select(red);
    w.rectangle({40, 40, 360, 260});
    const int blue = w.createBrush(gdi::kBrushSolid, kBlue);
    w.select(blue);
    w.roundRect({420, 40, 760, 260}, 120, 90);
    const int green = w.createBrush(gdi::kBrushSolid, kGreen);
    w.select(green);
    w.ellipse({40, 320, 300, 560});
    const int yellow = w.createBrush(gdi::kBrushSolid, kYellow);
    w.select(yellow);
    w.polygon({{340, 560}, {460, 320}, {580, 560}});
    const int purple = w.createBrush(gdi::kBrushSolid, kPurple);
    w.select(purple);
    w.pie({600, 320, 780, 500}, {780, 410}, {690, 320});
    w.select(red);
    w.chord({600, 440, 780, 580}, {600, 510}, {780, 510});
    w.select(paper);
    for (int object : {red, blue, green, yellow, purple}) w.deleteObject(object);
    return w.placeable({0, 0, 800, 600}, 1440);
}

// Placeable, with the window flipped upwards and negative coordinates: the box
// -3151,432 – -311,2605 at 1000 a inch, the window's origin at its top-left.
FileBytes wmfFlippedExtents() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowOrg(-3151, 2605);
    w.setWindowExt(2840, -2173);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kSky));
    w.rectangle({-3151, 432, -311, 2605});
    const int red = w.createBrush(gdi::kBrushSolid, kRed);
    w.select(red);
    w.rectangle({-3000, 2500, -2000, 1700});  // upper left
    const int green = w.createBrush(gdi::kBrushSolid, kGreen);
    w.select(green);
    w.ellipse({-1500, 1300, -450, 550});  // lower right
    const int yellow = w.createBrush(gdi::kBrushSolid, kYellow);
    w.select(yellow);
    w.polygon({{-3000, 600}, {-2000, 600}, {-2500, 1400}});  // pointing up, lower left
    const int wide = w.createPen(gdi::kSolid, 60, kBlue);
    w.select(wide);
    w.moveTo(-1700, 2450);
    w.lineTo(-500, 2450);
    w.lineTo(-500, 1700);
    return w.placeable({-3151, 432, -311, 2605}, 1000);
}

// Placeable without window records: the box is the window.
FileBytes wmfPlaceableBoxOnly() {
    WmfWriter w;
    w.select(w.createPen(gdi::kSolid, 8, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kPink));
    w.rectangle({100, 50, 1100, 650});
    w.select(w.createBrush(gdi::kBrushSolid, kTeal));
    w.ellipse({300, 150, 900, 550});
    return w.placeable({100, 50, 1100, 650}, 600);
}

// Plain (no placeable header): a 640 × 480 window, the background covering it.
FileBytes wmfPlainShapes() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowOrg(0, 0);
    w.setWindowExt(640, 480);
    w.select(w.createPen(gdi::kSolid, 4, kInk));
    const int paper = w.createBrush(gdi::kBrushSolid, kPaper);
    w.select(paper);
    w.rectangle({0, 0, 640, 480});
    w.select(w.createBrush(gdi::kBrushSolid, kOrange));
    w.ellipse({40, 60, 340, 420});
    w.select(w.createBrush(gdi::kBrushSolid, kBlue));
    w.rectangle({380, 80, 600, 400});
    return w.file();
}

// Plain, the window flipped upwards: (0, 0) is the bottom-left corner.
FileBytes wmfPlainFlipped() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowOrg(0, 300);
    w.setWindowExt(400, -300);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kSky));
    w.rectangle({0, 0, 400, 300});
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.rectangle({20, 20, 200, 140});  // bottom left
    w.select(w.createBrush(gdi::kBrushSolid, kYellow));
    w.polygon({{220, 40}, {380, 40}, {300, 280}});  // pointing up, right
    return w.file();
}

// Plain, mapped through the file's own viewport: a 1000 × 1000 window onto
// 400 × 300 pixels.
FileBytes wmfPlainViewport() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowOrg(0, 0);
    w.setWindowExt(1000, 1000);
    w.setViewportOrg(10, 10);
    w.setViewportExt(400, 300);
    w.select(w.createPen(gdi::kSolid, 10, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kPaper));
    w.rectangle({0, 0, 1000, 1000});
    w.select(w.createBrush(gdi::kBrushSolid, kGreen));
    w.ellipse({100, 100, 450, 900});  // a circle in the window, wide on the screen
    w.select(w.createBrush(gdi::kBrushSolid, kPurple));
    w.rectangle({550, 100, 900, 900});
    return w.file();
}

// Plain, without window or mapping mode: drawn in pixels, the picture is what
// the records cover.
FileBytes wmfPlainNoWindow() {
    WmfWriter w;
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kTeal));
    w.rectangle({40, 30, 340, 255});
    w.select(w.createBrush(gdi::kBrushSolid, kYellow));
    w.ellipse({90, 60, 290, 225});
    return w.file();
}

// Solid, dashed, null and wide pens: lines, polylines, outlines and an arc.
FileBytes wmfPens() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(400, 300);
    const int none = w.createPen(gdi::kNullPen, 0, kInk);
    w.select(none);
    w.select(w.createBrush(gdi::kBrushSolid, kPaper));
    w.rectangle({0, 0, 400, 300});
    const int wide = w.createPen(gdi::kSolid, 14, kRed);
    w.select(wide);
    w.moveTo(20, 30);
    w.lineTo(120, 120);
    w.lineTo(220, 30);
    w.lineTo(320, 120);
    const int blueWide = w.createPen(gdi::kSolid, 10, kBlue);
    w.select(blueWide);
    w.polyline({{20, 170}, {100, 260}, {180, 170}, {260, 260}});
    const int dashed = w.createPen(gdi::kDash, 1, kInk);
    w.select(dashed);
    w.select(w.createBrush(gdi::kBrushSolid, kYellow));
    w.rectangle({280, 160, 380, 280});
    w.select(none);
    w.select(w.createBrush(gdi::kBrushSolid, kGreen));
    w.rectangle({300, 180, 360, 260});  // no outline at all
    const int arcPen = w.createPen(gdi::kSolid, 12, kPurple);
    w.select(arcPen);
    w.arc({40, 140, 360, 300}, {360, 220}, {40, 220});
    return w.placeable({0, 0, 400, 300}, 96);
}

// Solid, null and hatched brushes, hatches on an opaque and a clear background.
FileBytes wmfBrushes() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(400, 300);
    w.select(w.createPen(gdi::kSolid, 3, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kSky));
    w.rectangle({0, 0, 400, 300});
    w.select(w.createBrush(gdi::kBrushSolid, kOrange));
    w.rectangle({20, 20, 190, 140});
    const int wide = w.createPen(gdi::kSolid, 12, kBrown);
    w.select(wide);
    w.select(w.createBrush(gdi::kBrushNull, kInk));
    w.rectangle({210, 20, 380, 140});  // frame only: the sky shows through
    w.select(w.createPen(gdi::kSolid, 2, kInk));
    w.setBkMode(gdi::kOpaque);
    w.setBkColour(kYellow);
    w.select(w.createBrush(gdi::kBrushHatched, kBlue, gdi::kHatchCross));
    w.rectangle({20, 200, 130, 280});
    w.select(w.createBrush(gdi::kBrushHatched, kRed, gdi::kHatchForward));
    w.rectangle({145, 200, 255, 280});
    w.setBkMode(gdi::kTransparent);
    w.select(w.createBrush(gdi::kBrushHatched, kGreen, gdi::kHatchHorizontal));
    w.rectangle({270, 200, 380, 280});
    // The hatches line up with the device, not the shapes: a small share of the
    // picture, so that one pixel of shift does not decide a comparison.
    return w.placeable({0, 0, 400, 300}, 96);
}

// Text on large shapes: a font, colours, alignment, TEXTOUT and EXTTEXTOUT
// (one with an opaque box, one with advances).
FileBytes wmfText() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(400, 300);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kSky));
    w.rectangle({0, 0, 400, 300});
    w.select(w.createBrush(gdi::kBrushSolid, kGreen));
    w.rectangle({0, 200, 400, 300});
    w.select(w.createBrush(gdi::kBrushSolid, kYellow));
    w.ellipse({300, 20, 380, 100});
    // Text is drawn with other fonts on other systems: kept small.
    Font font;
    font.height = -18;
    font.weight = 700;
    w.select(w.createFont(font));
    w.setTextColour(kBlue);
    w.setBkMode(gdi::kTransparent);
    w.setTextAlign(gdi::kAlignBaseline | gdi::kAlignCenter);
    w.textOut(150, 60, "KS318");
    w.setTextAlign(gdi::kAlignTop | gdi::kAlignLeft);
    w.setBkMode(gdi::kOpaque);
    w.setBkColour(kPaper);
    w.setTextColour(kRed);
    w.extTextOut(30, 110, gdi::kTextOpaque, {20, 100, 280, 150}, "Menu");
    w.setTextColour(kInk);
    w.setBkMode(gdi::kTransparent);
    w.extTextOut(30, 230, 0, {}, "12:30", {14, 14, 14, 14, 14});
    return w.placeable({0, 0, 400, 300}, 96);
}

// Clipping: a rectangle that clips an ellipse inside a saved state, then a hole
// cut out of a fill, then everything open again.
FileBytes wmfClipping() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(400, 300);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kPaper));
    w.rectangle({0, 0, 400, 300});
    w.saveDc();
    w.intersectClipRect({20, 20, 200, 150});
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.ellipse({60, 60, 300, 280});  // only its top-left part shows
    w.restoreDc(-1);
    w.saveDc();
    w.excludeClipRect({260, 60, 340, 140});
    w.select(w.createBrush(gdi::kBrushSolid, kBlue));
    w.rectangle({220, 20, 380, 180});  // with a hole
    w.restoreDc(-1);
    w.select(w.createBrush(gdi::kBrushSolid, kGreen));
    w.rectangle({220, 200, 380, 280});  // after the restore: whole
    return w.placeable({0, 0, 400, 300}, 96);
}

// Saving, selecting a new pen, deleting the old one, drawing and restoring, the
// same with brushes, and restores by relative and by absolute number.
FileBytes wmfSaveRestore() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(400, 300);
    int pen = w.createPen(gdi::kSolid, 8, kInk);
    int brush = w.createBrush(gdi::kBrushSolid, kPaper);
    w.select(pen);
    w.select(brush);
    w.rectangle({0, 0, 400, 300});
    w.saveDc();  // state 1
    const int bluePen = w.createPen(gdi::kSolid, 14, kBlue);
    w.select(bluePen);
    w.deleteObject(pen);
    const int redBrush = w.createBrush(gdi::kBrushSolid, kRed);
    w.select(redBrush);
    w.deleteObject(brush);
    w.rectangle({30, 30, 190, 140});
    w.saveDc();  // state 2
    const int greenBrush = w.createBrush(gdi::kBrushSolid, kGreen);
    w.select(greenBrush);
    w.deleteObject(redBrush);
    w.ellipse({210, 30, 370, 140});
    w.restoreDc(1);  // back to state 1: the first pen and brush
    pen = w.createPen(gdi::kSolid, 6, kPurple);
    brush = w.createBrush(gdi::kBrushSolid, kYellow);
    w.select(pen);
    w.select(brush);
    w.roundRect({30, 160, 190, 270}, 40, 40);
    w.saveDc();
    const int orange = w.createBrush(gdi::kBrushSolid, kOrange);
    w.select(orange);
    w.deleteObject(brush);
    w.ellipse({210, 160, 370, 270});
    w.restoreDc(-1);
    w.deleteObject(orange);
    return w.placeable({0, 0, 400, 300}, 96);
}

// Bitmaps: a 24-bit one through STRETCHDIB, an 8-bit one through DIBSTRETCHBLT,
// pattern fills and an inversion through PATBLT.
FileBytes wmfBitmaps() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(400, 300);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kPaper));
    w.rectangle({0, 0, 400, 300});
    w.stretchDib({20, 20, 196, 152}, blocks(8, 6, {kRed, kBlue, kYellow, kGreen, kPurple}, false));
    w.dibStretchBlt({216, 20, 376, 180}, blocks(4, 4, {kTeal, kOrange, kPink, kBrown, kInk}, true));
    w.select(w.createBrush(gdi::kBrushSolid, kBlue));
    w.patBlt({20, 180, 196, 280}, gdi::kPatCopy);
    w.patBlt({216, 200, 376, 280}, gdi::kBlackness);
    w.patBlt({60, 200, 156, 260}, gdi::kDstInvert);  // blue turns yellow
    return w.placeable({0, 0, 400, 300}, 96);
}

// Fill modes: a star filled alternately and winding, and a polypolygon with a hole.
FileBytes wmfFillModes() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowExt(600, 450);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kSky));
    w.rectangle({0, 0, 600, 450});
    w.select(w.createBrush(gdi::kBrushSolid, kRed));
    w.setPolyFillMode(gdi::kAlternate);
    w.polygon(star(150, 150, 130));
    w.setPolyFillMode(gdi::kWinding);
    w.polygon(star(450, 150, 130));
    w.select(w.createBrush(gdi::kBrushSolid, kPurple));
    w.setPolyFillMode(gdi::kAlternate);
    w.polyPolygon({{{100, 310}, {500, 310}, {500, 430}, {100, 430}}, {{250, 340}, {350, 340}, {350, 400}, {250, 400}}});
    return w.placeable({0, 0, 600, 450}, 144);
}

// Arcs, chords and pies on a large scale, with wide pens.
FileBytes wmfArcs() {
    WmfWriter w;
    w.setMapMode(gdi::kMapAnisotropic);
    w.setWindowOrg(-200, -150);
    w.setWindowExt(400, 300);
    w.select(w.createPen(gdi::kNullPen, 0, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kPaper));
    w.rectangle({-200, -150, 200, 150});
    w.select(w.createPen(gdi::kSolid, 4, kInk));
    w.select(w.createBrush(gdi::kBrushSolid, kOrange));
    // Counter-clockwise on the screen from the top to the right: three quarters,
    // the top-right one left out.
    w.pie({-180, -130, 20, 70}, {-80, -130}, {20, -30});
    w.select(w.createBrush(gdi::kBrushSolid, kTeal));
    w.chord({20, -130, 180, 30}, {20, -50}, {180, -50});  // the lower half
    w.select(w.createPen(gdi::kSolid, 16, kBlue));
    w.arc({-100, -40, 180, 140}, {180, 50}, {-100, 50});  // the upper half
    return w.placeable({-200, -150, 200, 150}, 96);
}

// --- Enhanced metafiles -------------------------------------------------------

// Every filled shape, in reference-device pixels.
FileBytes emfShapes() {
    EmfWriter e;
    const int outline = e.createPen(gdi::kSolid, 4, kInk);
    e.select(outline);
    const int paper = e.createBrush(gdi::kBrushSolid, kPaper);
    e.select(paper);
    e.rectangle({0, 0, 400, 300});
    const int red = e.createBrush(gdi::kBrushSolid, kRed);
    e.select(red);
    e.rectangle({20, 20, 180, 130});
    const int blue = e.createBrush(gdi::kBrushSolid, kBlue);
    e.select(blue);
    e.roundRect({210, 20, 380, 130}, 60, 40);
    const int green = e.createBrush(gdi::kBrushSolid, kGreen);
    e.select(green);
    e.ellipse({20, 150, 150, 280});
    const int yellow = e.createBrush(gdi::kBrushSolid, kYellow);
    e.select(yellow);
    e.pie({160, 150, 290, 280}, {290, 215}, {225, 150});
    e.select(red);
    e.chord({300, 150, 390, 280}, {300, 215}, {390, 215});
    e.select(paper);
    for (int handle : {red, blue, green, yellow}) e.deleteObject(handle);
    const int wide = e.createPen(gdi::kSolid, 8, kPurple);
    e.select(wide);
    e.arc({160, 150, 290, 280}, {160, 215}, {290, 215});
    e.moveTo(20, 290);
    e.lineTo(380, 290);
    e.select(gdi::kBlackPen);
    e.deleteObject(wide);
    e.deleteObject(outline);
    return e.fileInPixels({0, 0, 400, 300});
}

// The 16-bit point records.
FileBytes emfPoly16() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kSky));
    e.rectangle({0, 0, 500, 400});
    e.select(e.createBrush(gdi::kBrushSolid, kOrange));
    e.polygon16({{20, 20}, {230, 20}, {125, 180}});
    e.select(e.createBrush(gdi::kBrushSolid, kPurple));
    e.setPolyFillMode(gdi::kAlternate);
    e.polyPolygon16({{{260, 20}, {480, 20}, {480, 180}, {260, 180}}, {{320, 60}, {420, 60}, {420, 140}, {320, 140}}});
    e.select(e.createPen(gdi::kSolid, 12, kRed));
    e.polyline16({{20, 220}, {100, 380}, {180, 220}, {240, 380}});
    e.select(e.createPen(gdi::kSolid, 14, kBlue));
    e.polyBezier16({{270, 380}, {270, 200}, {480, 200}, {480, 380}});
    return e.fileInPixels({0, 0, 500, 400});
}

// The 32-bit point records, and a winding star.
FileBytes emfPoly32() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPaper));
    e.rectangle({0, 0, 500, 400});
    e.select(e.createBrush(gdi::kBrushSolid, kGreen));
    e.setPolyFillMode(gdi::kWinding);
    e.polygon(star(125, 110, 100));
    e.select(e.createBrush(gdi::kBrushSolid, kTeal));
    e.polyPolygon({{{260, 20}, {480, 20}, {370, 200}}, {{260, 200}, {480, 200}, {370, 20}}});
    e.select(e.createPen(gdi::kSolid, 12, kBrown));
    e.polyline({{20, 380}, {120, 240}, {220, 380}});
    e.select(e.createPen(gdi::kSolid, 14, kRed));
    e.polyBezier({{260, 240}, {300, 400}, {440, 400}, {480, 240}, {440, 300}, {300, 300}, {260, 240}});
    return e.fileInPixels({0, 0, 500, 400});
}

// Window and viewport: a 2000 × 2000 window, flipped upwards, centred on the
// origin, onto 400 × 400 pixels.
FileBytes emfMapping() {
    EmfWriter e;
    e.setMapMode(gdi::kMapAnisotropic);
    e.setWindowOrg(-1000, 1000);
    e.setWindowExt(2000, -2000);
    e.setViewportOrg(0, 0);
    e.setViewportExt(400, 400);
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kSky));
    e.rectangle({-1000, -1000, 1000, 1000});
    e.select(e.createBrush(gdi::kBrushSolid, kRed));
    e.rectangle({-900, 900, -100, 100});  // upper left
    e.select(e.createBrush(gdi::kBrushSolid, kGreen));
    e.ellipse({100, -100, 900, -900});  // lower right
    e.select(e.createBrush(gdi::kBrushSolid, kYellow));
    e.polygon16({{-900, -900}, {-100, -900}, {-500, -100}});  // lower left, pointing up
    return e.fileInPixels({0, 0, 400, 400});
}

// A frame larger than the drawing: white margins round it.
FileBytes emfFrameLarger() {
    EmfWriter e;
    e.select(e.createPen(gdi::kSolid, 6, kInk));
    e.select(e.createBrush(gdi::kBrushSolid, kOrange));
    e.rectangle({0, 0, 300, 200});
    e.select(e.createBrush(gdi::kBrushSolid, kBlue));
    e.ellipse({50, 25, 250, 175});
    return e.fileInPixels({-50, -50, 350, 250});
}

// A frame smaller than the drawing: only its middle shows.
FileBytes emfFrameSmaller() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPurple));
    e.rectangle({0, 0, 400, 300});
    e.select(e.createBrush(gdi::kBrushSolid, kYellow));
    e.rectangle({100, 75, 300, 225});
    e.select(e.createBrush(gdi::kBrushSolid, kRed));
    e.ellipse({150, 100, 250, 200});
    return e.fileInPixels({80, 60, 320, 240});
}

// Stock brushes and pens.
FileBytes emfStockObjects() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(gdi::kLightGreyBrush);
    e.rectangle({0, 0, 400, 300});
    e.select(gdi::kBlackPen);
    e.select(gdi::kWhiteBrush);
    e.rectangle({20, 20, 190, 140});
    e.select(gdi::kDarkGreyBrush);
    e.rectangle({210, 20, 380, 140});
    e.select(gdi::kGreyBrush);
    e.ellipse({20, 160, 190, 280});
    e.select(gdi::kBlackBrush);
    e.select(gdi::kWhitePen);
    e.rectangle({210, 160, 380, 280});
    e.select(gdi::kNullBrush);
    e.select(e.createPen(gdi::kSolid, 10, kRed));
    e.rectangle({240, 190, 350, 250});  // frame only
    return e.fileInPixels({0, 0, 400, 300});
}

// Extended pens: wide geometric ones with their caps and joins, a dashed one.
FileBytes emfExtPens() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPaper));
    e.rectangle({0, 0, 400, 300});
    e.select(e.extCreatePen(gdi::kGeometric | gdi::kSolid | gdi::kEndCapFlat | gdi::kJoinMiter, 24, kRed));
    e.polyline16({{30, 120}, {100, 30}, {170, 120}});
    e.select(e.extCreatePen(gdi::kGeometric | gdi::kSolid | gdi::kEndCapSquare | gdi::kJoinBevel, 24, kBlue));
    e.polyline16({{230, 120}, {300, 30}, {370, 120}});
    e.select(e.extCreatePen(gdi::kGeometric | gdi::kSolid | gdi::kEndCapRound | gdi::kJoinRound, 24, kGreen));
    e.polyline16({{30, 270}, {100, 180}, {170, 270}});
    e.select(e.extCreatePen(gdi::kDash, 1, kInk));
    e.select(e.createBrush(gdi::kBrushSolid, kYellow));
    e.rectangle({230, 170, 370, 280});
    return e.fileInPixels({0, 0, 400, 300});
}

// Text on large shapes, with advances given, an opaque box and alignment.
FileBytes emfText() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kSky));
    e.rectangle({0, 0, 400, 300});
    e.select(e.createBrush(gdi::kBrushSolid, kBrown));
    e.rectangle({0, 220, 400, 300});
    // Text is drawn with other fonts on other systems: kept small.
    Font font;
    font.height = -14;
    font.weight = 700;
    e.select(e.createFont(font));
    e.setBkMode(gdi::kTransparent);
    e.setTextColour(kRed);
    e.setTextAlign(gdi::kAlignTop | gdi::kAlignLeft);
    e.extTextOut(30, 30, 0, {0, 0, -1, -1}, "Welcome", 11);
    e.setBkMode(gdi::kOpaque);
    e.setBkColour(kYellow);
    e.setTextColour(kBlue);
    e.extTextOut(40, 118, gdi::kTextOpaque, {30, 100, 370, 160}, "Terminal", 11);
    font.height = -14;
    font.weight = 400;
    font.face = "Courier New";
    e.select(e.createFont(font));
    e.setBkMode(gdi::kTransparent);
    e.setTextColour(kPaper);
    e.setTextAlign(gdi::kAlignBaseline | gdi::kAlignCenter);
    e.extTextOut(200, 265, 0, {0, 0, -1, -1}, "318", 10);
    return e.fileInPixels({0, 0, 400, 300});
}

// Clipping inside saved states.
FileBytes emfClipping() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPaper));
    e.rectangle({0, 0, 400, 300});
    e.saveDc();
    e.intersectClipRect({20, 20, 200, 280});
    e.select(e.createBrush(gdi::kBrushSolid, kTeal));
    e.ellipse({-100, 40, 300, 260});  // cut at both sides
    e.restoreDc(-1);
    e.saveDc();
    e.excludeClipRect({260, 100, 340, 200});
    e.select(e.createBrush(gdi::kBrushSolid, kRed));
    e.rectangle({220, 20, 380, 280});
    e.restoreDc(-1);
    e.select(e.createBrush(gdi::kBrushSolid, kYellow));
    e.ellipse({270, 110, 330, 190});  // inside the hole, drawn after the restore
    return e.fileInPixels({0, 0, 400, 300});
}

// World transforms: a square turned by 30 degrees about the middle, then a scale
// multiplied in, then back to the identity.
FileBytes emfWorldTransform() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kSky));
    e.rectangle({0, 0, 400, 300});
    const float c = static_cast<float>(std::cos(std::numbers::pi / 6)), s = static_cast<float>(std::sin(std::numbers::pi / 6));
    e.setWorldTransform({c, s, -s, c, 200, 150});
    e.select(e.createBrush(gdi::kBrushSolid, kOrange));
    e.rectangle({-90, -90, 90, 90});
    e.modifyWorldTransform({0.5f, 0, 0, 0.5f, 0, 0}, gdi::kTransformLeft);
    e.select(e.createBrush(gdi::kBrushSolid, kBlue));
    e.rectangle({-90, -90, 90, 90});
    e.modifyWorldTransform({1, 0, 0, 1, 0, 0}, gdi::kTransformIdentity);
    e.select(e.createBrush(gdi::kBrushSolid, kGreen));
    e.rectangle({20, 230, 120, 290});
    return e.fileInPixels({0, 0, 400, 300});
}

// Bitmaps: STRETCHDIBITS with a 24-bit and an 8-bit bitmap, BITBLT of a bitmap
// at its own size and of the brush alone.
FileBytes emfBitmaps() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPaper));
    e.rectangle({0, 0, 400, 300});
    e.stretchDiBits({20, 20, 196, 152}, blocks(8, 6, {kRed, kBlue, kYellow, kGreen, kPurple}, false));
    e.stretchDiBits({216, 20, 376, 180}, blocks(4, 4, {kTeal, kOrange, kPink, kBrown, kInk}, true));
    std::vector<Rgb> big;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) big.push_back((x / 40 + y / 40) % 2 == 0 ? kGreen : kOrange);
    e.bitBlt(20, 190, Dib::trueColour(120, 80, big));
    e.select(e.createBrush(gdi::kBrushSolid, kPurple));
    e.bitBlt({216, 200, 376, 280}, gdi::kPatCopy);
    return e.fileInPixels({0, 0, 400, 300});
}

// Paths: a filled outline of lines and a curve, a stroked one, one stroked and
// filled.
FileBytes emfPaths() {
    EmfWriter e;
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kSky));
    e.rectangle({0, 0, 400, 300});
    e.select(e.createBrush(gdi::kBrushSolid, kRed));
    e.beginPath();
    e.moveTo(20, 140);
    e.lineTo(100, 20);
    e.lineTo(180, 140);
    e.polyBezierTo16({{180, 200}, {20, 200}, {20, 140}});
    e.closeFigure();
    e.endPath();
    e.fillPath();
    e.select(e.createPen(gdi::kSolid, 14, kBlue));
    e.beginPath();
    e.moveTo(220, 30);
    e.lineTo(380, 30);
    e.lineTo(300, 140);
    e.closeFigure();
    e.endPath();
    e.strokePath();
    e.select(e.createPen(gdi::kSolid, 8, kInk));
    e.select(e.createBrush(gdi::kBrushSolid, kYellow));
    e.beginPath();
    e.moveTo(40, 230);
    e.lineTo(360, 230);
    e.lineTo(360, 280);
    e.lineTo(40, 280);
    e.closeFigure();
    e.endPath();
    e.strokeAndFillPath();
    return e.fileInPixels({0, 0, 400, 300});
}

// Saving, selecting a new pen, deleting the old one, drawing and restoring; the
// same with brushes; restores one and two states back.
FileBytes emfSaveRestore() {
    EmfWriter e;
    int pen = e.createPen(gdi::kSolid, 8, kInk);
    int brush = e.createBrush(gdi::kBrushSolid, kPaper);
    e.select(pen);
    e.select(brush);
    e.rectangle({0, 0, 400, 300});
    e.saveDc();
    const int bluePen = e.createPen(gdi::kSolid, 14, kBlue);
    e.select(bluePen);
    e.deleteObject(pen);
    const int redBrush = e.createBrush(gdi::kBrushSolid, kRed);
    e.select(redBrush);
    e.deleteObject(brush);
    e.rectangle({30, 30, 190, 140});
    e.saveDc();
    const int greenBrush = e.createBrush(gdi::kBrushSolid, kGreen);
    e.select(greenBrush);
    e.deleteObject(redBrush);
    e.ellipse({210, 30, 370, 140});
    e.restoreDc(-2);
    pen = e.createPen(gdi::kSolid, 6, kPurple);
    brush = e.createBrush(gdi::kBrushSolid, kYellow);
    e.select(pen);
    e.select(brush);
    e.roundRect({30, 160, 190, 270}, 40, 40);
    e.saveDc();
    const int orange = e.createBrush(gdi::kBrushSolid, kOrange);
    e.select(orange);
    e.deleteObject(brush);
    e.ellipse({210, 160, 370, 270});
    e.restoreDc(-1);
    e.deleteObject(orange);
    return e.fileInPixels({0, 0, 400, 300});
}

// A reference device of 127 dots per inch (1600 × 1200 pixels on 320 × 240 mm):
// the records are in its pixels, the frame in hundredths of a millimetre.
FileBytes emfDevice127() {
    EmfWriter e;
    e.setDevice(1600, 1200, 320, 240);
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPaper));
    e.rectangle({0, 0, 1600, 1200});
    e.select(e.createBrush(gdi::kBrushSolid, kBlue));
    e.rectangle({100, 100, 700, 1100});
    e.select(e.createBrush(gdi::kBrushSolid, kOrange));
    e.ellipse({800, 100, 1500, 800});
    return e.file({0, 0, 32000, 24000}, {0, 0, 1599, 1199});
}

// Paths of several figures, as office suites write them: a figure goes on
// through LINETO, POLYLINETO and POLYBEZIERTO until MOVETO or CLOSEFIGURE.
FileBytes emfPathFigures(bool shortPoints) {
    EmfWriter e;
    const auto polylineTo = [&](const std::vector<Point> &points) {
        shortPoints ? e.polylineTo16(points) : e.polylineTo(points);
    };
    const auto polyBezierTo = [&](const std::vector<Point> &points) {
        shortPoints ? e.polyBezierTo16(points) : e.polyBezierTo(points);
    };
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kPaper));
    e.rectangle({0, 0, 400, 300});
    // A square of MOVETO, LINETO, POLYLINETO; a figure mixing all three; a second square left open.
    e.select(e.createBrush(gdi::kBrushSolid, kRed));
    e.beginPath();
    e.moveTo(20, 20);
    e.lineTo(120, 20);
    polylineTo({{120, 120}, {20, 120}});
    e.closeFigure();
    e.moveTo(150, 20);
    polylineTo({{220, 20}});
    polyBezierTo({{260, 20}, {280, 40}, {280, 80}});
    e.lineTo(280, 130);
    polylineTo({{150, 130}, {170, 80}});
    e.moveTo(300, 20);
    e.lineTo(380, 20);
    polylineTo({{380, 130}, {300, 130}});
    e.endPath();
    e.fillPath();
    // Strokes: two lines of MOVETO and LINETO, and an open zigzag of three kinds.
    e.select(e.createPen(gdi::kSolid, 10, kBlue));
    e.beginPath();
    e.moveTo(30, 170);
    e.lineTo(370, 170);
    e.moveTo(30, 280);
    e.lineTo(120, 280);
    e.moveTo(150, 200);
    polylineTo({{200, 270}, {250, 200}});
    polyBezierTo({{270, 230}, {290, 260}, {300, 270}});
    e.lineTo(360, 200);
    e.endPath();
    e.strokePath();
    return e.fileInPixels({0, 0, 400, 300});
}

// Tenths of a millimetre, y upwards (MM_LOMETRIC): 100 × 75 mm.
FileBytes emfLometric() {
    EmfWriter e;
    e.setMapMode(gdi::kMapLoMetric);
    e.select(gdi::kNullPenStock);
    e.select(e.createBrush(gdi::kBrushSolid, kSky));
    e.rectangle({0, 0, 1000, -750});
    e.select(e.createBrush(gdi::kBrushSolid, kRed));
    e.rectangle({50, -50, 450, -400});  // upper left
    e.select(e.createBrush(gdi::kBrushSolid, kGreen));
    e.ellipse({550, -350, 950, -700});  // lower right
    return e.file({0, 0, 10000, 7500}, {0, 0, 377, 283});
}

}  // namespace

std::vector<NamedMetafile> metafileSet() {
    return {
        {"wmf-placeable-shapes.wmf", wmfPlaceableShapes()},
        {"wmf-flipped-extents.wmf", wmfFlippedExtents()},
        {"wmf-placeable-box-only.wmf", wmfPlaceableBoxOnly()},
        {"wmf-plain-shapes.wmf", wmfPlainShapes()},
        {"wmf-plain-flipped.wmf", wmfPlainFlipped()},
        {"wmf-plain-viewport.wmf", wmfPlainViewport()},
        {"wmf-plain-no-window.wmf", wmfPlainNoWindow()},
        {"wmf-pens.wmf", wmfPens()},
        {"wmf-brushes.wmf", wmfBrushes()},
        {"wmf-text.wmf", wmfText()},
        {"wmf-clipping.wmf", wmfClipping()},
        {"wmf-save-restore.wmf", wmfSaveRestore()},
        {"wmf-bitmaps.wmf", wmfBitmaps()},
        {"wmf-fill-modes.wmf", wmfFillModes()},
        {"wmf-arcs.wmf", wmfArcs()},
        {"emf-shapes.emf", emfShapes()},
        {"emf-poly16.emf", emfPoly16()},
        {"emf-poly32.emf", emfPoly32()},
        {"emf-mapping.emf", emfMapping()},
        {"emf-frame-larger.emf", emfFrameLarger()},
        {"emf-frame-smaller.emf", emfFrameSmaller()},
        {"emf-stock-objects.emf", emfStockObjects()},
        {"emf-ext-pens.emf", emfExtPens()},
        {"emf-text.emf", emfText()},
        {"emf-clipping.emf", emfClipping()},
        {"emf-world-transform.emf", emfWorldTransform()},
        {"emf-bitmaps.emf", emfBitmaps()},
        {"emf-paths.emf", emfPaths()},
        {"emf-save-restore.emf", emfSaveRestore()},
        {"emf-device-127dpi.emf", emfDevice127()},
        {"emf-lometric.emf", emfLometric()},
        {"emf-path-figures.emf", emfPathFigures(false)},
        {"emf-path-figures16.emf", emfPathFigures(true)},
    };
}

}  // namespace ks318::test
