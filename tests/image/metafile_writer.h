// Writing Windows metafiles (WMF) and enhanced metafiles (EMF) record by record,
// for tests: each record has a method named after it, the raw form takes any
// function and parameters, and the writers keep the headers' counts (sizes,
// largest record, object slots, handles) right.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/image/picture_files.h"

namespace ks318::test {

struct Point {
    int x = 0, y = 0;
};

// A rectangle by its edges, in the units of the record it goes into.
struct Box {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// GDI's numbers, as the records carry them.
namespace gdi {
// Pen styles; the end-cap, join and geometric flags are for EMF's extended pens.
inline constexpr int kSolid = 0, kDash = 1, kDot = 2, kDashDot = 3, kNullPen = 5, kInsideFrame = 6;
inline constexpr int kEndCapRound = 0x0000, kEndCapSquare = 0x0100, kEndCapFlat = 0x0200;
inline constexpr int kJoinRound = 0x0000, kJoinBevel = 0x1000, kJoinMiter = 0x2000, kGeometric = 0x10000;
// Brush styles and hatches.
inline constexpr int kBrushSolid = 0, kBrushNull = 1, kBrushHatched = 2;
inline constexpr int kHatchHorizontal = 0, kHatchVertical = 1, kHatchForward = 2, kHatchBackward = 3,
                     kHatchCross = 4, kHatchDiagonalCross = 5;
// Mapping modes.
inline constexpr int kMapText = 1, kMapLoMetric = 2, kMapIsotropic = 7, kMapAnisotropic = 8;
// Background modes, fill modes.
inline constexpr int kTransparent = 1, kOpaque = 2;
inline constexpr int kAlternate = 1, kWinding = 2;
// Text alignment.
inline constexpr int kAlignLeft = 0, kAlignRight = 2, kAlignCenter = 6, kAlignTop = 0, kAlignBottom = 8,
                     kAlignBaseline = 24, kAlignUpdateCurrent = 1;
// Text-out options.
inline constexpr int kTextOpaque = 2, kTextClipped = 4;
// Raster operations.
inline constexpr std::uint32_t kSrcCopy = 0x00CC0020, kPatCopy = 0x00F00021, kDstInvert = 0x00550009,
                               kBlackness = 0x00000042, kWhiteness = 0x00FF0062;
// EMF stock objects (SELECTOBJECT with the high bit set).
inline constexpr std::uint32_t kWhiteBrush = 0x80000000, kLightGreyBrush = 0x80000001,
                               kGreyBrush = 0x80000002, kDarkGreyBrush = 0x80000003,
                               kBlackBrush = 0x80000004, kNullBrush = 0x80000005, kWhitePen = 0x80000006,
                               kBlackPen = 0x80000007, kNullPenStock = 0x80000008;
// World transform changes.
inline constexpr int kTransformIdentity = 1, kTransformLeft = 2, kTransformRight = 3;
}  // namespace gdi

// A device-independent bitmap of 24 or 8 bits a pixel, rows top first as given
// (stored bottom-up as DIBs are). An 8-bit one holds palette indices in `index`.
struct Dib {
    int width = 0, height = 0, bitCount = 24;
    std::vector<Rgb> colour;           // 24-bit: width × height
    std::vector<Rgb> palette;          // 8-bit
    std::vector<std::uint8_t> index;   // 8-bit: width × height

    static Dib trueColour(int width, int height, const std::vector<Rgb> &pixels);
    static Dib paletted(int width, int height, const std::vector<Rgb> &palette, const std::vector<std::uint8_t> &indices);
    FileBytes info() const;  // BITMAPINFOHEADER and palette
    FileBytes bits() const;  // rows bottom first, each padded to 4 bytes
};

// A logical font: height in logical units (negative: of the characters alone).
struct Font {
    int height = -20;
    int weight = 400;
    bool italic = false;
    int escapement = 0;  // tenths of a degree
    std::string face = "Arial";
};

// A Windows metafile. Objects take the lowest free slot of the object table, as
// the player assigns them, and create* returns that slot.
class WmfWriter {
public:
    void record(std::uint16_t function, const std::vector<std::uint16_t> &params);

    void setWindowOrg(int x, int y) { record(0x020B, {s16(y), s16(x)}); }
    void setWindowExt(int x, int y) { record(0x020C, {s16(y), s16(x)}); }
    void setViewportOrg(int x, int y) { record(0x020D, {s16(y), s16(x)}); }
    void setViewportExt(int x, int y) { record(0x020E, {s16(y), s16(x)}); }
    void setMapMode(int mode) { record(0x0103, {s16(mode)}); }
    void saveDc() { record(0x001E, {}); }
    // Negative: that many states back; positive: the state of that number.
    void restoreDc(int which) { record(0x0127, {s16(which)}); }
    void setBkMode(int mode) { record(0x0102, {s16(mode)}); }
    void setBkColour(Rgb c) { record(0x0201, colour(c)); }
    void setTextColour(Rgb c) { record(0x0209, colour(c)); }
    void setTextAlign(int align) { record(0x012E, {s16(align)}); }
    void setPolyFillMode(int mode) { record(0x0106, {s16(mode)}); }

    int createPen(int style, int width, Rgb c);
    int createBrush(int style, Rgb c, int hatch = 0);
    int createFont(const Font &font);
    void select(int object) { record(0x012D, {s16(object)}); }
    void deleteObject(int object);

    void moveTo(int x, int y) { record(0x0214, {s16(y), s16(x)}); }
    void lineTo(int x, int y) { record(0x0213, {s16(y), s16(x)}); }
    void polyline(const std::vector<Point> &points) { record(0x0325, pointList(points)); }
    void polygon(const std::vector<Point> &points) { record(0x0324, pointList(points)); }
    void polyPolygon(const std::vector<std::vector<Point>> &polygons);
    void rectangle(Box b) { record(0x041B, edges(b)); }
    void roundRect(Box b, int cornerWidth, int cornerHeight);
    void ellipse(Box b) { record(0x0418, edges(b)); }
    void arc(Box b, Point start, Point end) { record(0x0817, arcParams(b, start, end)); }
    void chord(Box b, Point start, Point end) { record(0x0830, arcParams(b, start, end)); }
    void pie(Box b, Point start, Point end) { record(0x081A, arcParams(b, start, end)); }
    void textOut(int x, int y, const std::string &text);
    // `rect` is written when the options ask for it (opaque or clipped); `dx`
    // when not empty.
    void extTextOut(int x, int y, int options, Box rect, const std::string &text, const std::vector<int> &dx = {});
    void intersectClipRect(Box b) { record(0x0416, edges(b)); }
    void excludeClipRect(Box b) { record(0x0415, edges(b)); }
    // The whole bitmap stretched onto `dest`.
    void stretchDib(Box dest, const Dib &dib, std::uint32_t rop = gdi::kSrcCopy);
    void dibStretchBlt(Box dest, const Dib &dib, std::uint32_t rop = gdi::kSrcCopy);
    void patBlt(Box b, std::uint32_t rop);

    // The file: the records and the end-of-file record after the header; the
    // placeable form adds the 22-byte header with `box` and `unitsPerInch`.
    FileBytes file() const;
    FileBytes placeable(Box box, int unitsPerInch) const;

    static std::uint16_t s16(int v) { return static_cast<std::uint16_t>(v); }

private:
    static std::vector<std::uint16_t> colour(Rgb c);
    static std::vector<std::uint16_t> edges(Box b);
    static std::vector<std::uint16_t> pointList(const std::vector<Point> &points);
    static std::vector<std::uint16_t> arcParams(Box b, Point start, Point end);
    static void addText(std::vector<std::uint16_t> &params, const std::string &text);
    static void addBytes(std::vector<std::uint16_t> &params, const FileBytes &bytes);
    int newObject();

    FileBytes records_;
    std::uint32_t largestRecord_ = 3;  // words; the end-of-file record
    std::vector<bool> slots_;          // object table: taken or free
};

// An enhanced metafile. Handles are the lowest free index from 1 up.
class EmfWriter {
public:
    // Reference device: 960 × 960 pixels on 254 × 254 mm (96 dots per inch)
    // unless set before file().
    void setDevice(int pixelsX, int pixelsY, int millimetresX, int millimetresY);

    void record(std::uint32_t type, const FileBytes &params);

    void setMapMode(int mode) { record(17, ints({mode})); }
    void setWindowOrg(int x, int y) { record(10, ints({x, y})); }
    void setWindowExt(int x, int y) { record(9, ints({x, y})); }
    void setViewportOrg(int x, int y) { record(12, ints({x, y})); }
    void setViewportExt(int x, int y) { record(11, ints({x, y})); }
    void saveDc() { record(33, {}); }
    void restoreDc(int relative) { record(34, ints({relative})); }
    void setBkMode(int mode) { record(18, ints({mode})); }
    void setBkColour(Rgb c) { record(25, ints({colourRef(c)})); }
    void setTextColour(Rgb c) { record(24, ints({colourRef(c)})); }
    void setTextAlign(int align) { record(22, ints({align})); }
    void setPolyFillMode(int mode) { record(19, ints({mode})); }
    // eM11, eM12, eM21, eM22, eDx, eDy.
    void setWorldTransform(const std::vector<float> &xform);
    void modifyWorldTransform(const std::vector<float> &xform, int mode);

    int createPen(int style, int width, Rgb c);
    int extCreatePen(int style, int width, Rgb c, const std::vector<int> &dashes = {});
    int createBrush(int style, Rgb c, int hatch = 0);
    int createFont(const Font &font);
    void select(std::uint32_t handle) { record(37, ints({static_cast<int>(handle)})); }
    void deleteObject(int handle);

    void moveTo(int x, int y) { record(27, ints({x, y})); }
    void lineTo(int x, int y) { record(54, ints({x, y})); }
    void polyline16(const std::vector<Point> &points) { points16(87, points); }
    void polygon16(const std::vector<Point> &points) { points16(86, points); }
    void polyBezier16(const std::vector<Point> &points) { points16(85, points); }
    void polyBezierTo16(const std::vector<Point> &points) { points16(88, points); }
    void polylineTo16(const std::vector<Point> &points) { points16(89, points); }
    void polylineTo(const std::vector<Point> &points) { points32(6, points); }
    void polyBezierTo(const std::vector<Point> &points) { points32(5, points); }
    void polyPolygon16(const std::vector<std::vector<Point>> &polygons) { polyPoints(91, polygons, true); }
    void polyline(const std::vector<Point> &points) { points32(4, points); }
    void polygon(const std::vector<Point> &points) { points32(3, points); }
    void polyBezier(const std::vector<Point> &points) { points32(2, points); }
    void polyPolygon(const std::vector<std::vector<Point>> &polygons) { polyPoints(8, polygons, false); }
    void rectangle(Box b) { record(43, ints({b.left, b.top, b.right, b.bottom})); }
    void roundRect(Box b, int cornerWidth, int cornerHeight);
    void ellipse(Box b) { record(42, ints({b.left, b.top, b.right, b.bottom})); }
    void arc(Box b, Point start, Point end) { arcRecord(45, b, start, end); }
    void chord(Box b, Point start, Point end) { arcRecord(46, b, start, end); }
    void pie(Box b, Point start, Point end) { arcRecord(47, b, start, end); }
    // ASCII text; each character advances by `advance` logical units.
    void extTextOut(int x, int y, int options, Box rect, const std::string &text, int advance);
    void intersectClipRect(Box b) { record(30, ints({b.left, b.top, b.right, b.bottom})); }
    void excludeClipRect(Box b) { record(29, ints({b.left, b.top, b.right, b.bottom})); }
    // The whole bitmap stretched onto `dest`.
    void stretchDiBits(Box dest, const Dib &dib, std::uint32_t rop = gdi::kSrcCopy);
    // The bitmap copied at its own size to (x, y); without one, a pattern operation.
    void bitBlt(int x, int y, const Dib &dib, std::uint32_t rop = gdi::kSrcCopy);
    void bitBlt(Box dest, std::uint32_t rop);
    void beginPath() { record(59, {}); }
    void endPath() { record(60, {}); }
    void closeFigure() { record(61, {}); }
    void fillPath() { record(62, ints({0, 0, -1, -1})); }
    void strokePath() { record(64, ints({0, 0, -1, -1})); }
    void strokeAndFillPath() { record(63, ints({0, 0, -1, -1})); }

    // The file: header, records, end of file. `frame` in hundredths of a
    // millimetre; `bounds` (inclusive, reference-device pixels) as the header
    // reports what the records cover.
    FileBytes file(Box frame, Box bounds) const;
    // The same with the frame given in reference-device pixels: bounds = frame.
    FileBytes fileInPixels(Box frame) const;

    static FileBytes ints(std::initializer_list<int> values);
    static int colourRef(Rgb c) { return c.r | (c.g << 8) | (c.b << 16); }

private:
    void points16(std::uint32_t type, const std::vector<Point> &points);
    void points32(std::uint32_t type, const std::vector<Point> &points);
    void polyPoints(std::uint32_t type, const std::vector<std::vector<Point>> &polygons, bool shortPoints);
    void arcRecord(std::uint32_t type, Box b, Point start, Point end);
    int newHandle();

    FileBytes records_;
    std::uint32_t count_ = 0;
    std::vector<bool> handles_{true};  // index 0 is the metafile itself
    int deviceX_ = 960, deviceY_ = 960, millimetresX_ = 254, millimetresY_ = 254;
};

}  // namespace ks318::test
