// Drawing what metafile records ask for with cairo, in the device context's
// current state, the way Windows draws it: whole device pixels, no smoothing of
// shapes, the pen's outline drawn over the brush's fill, rectangles without
// their right and bottom edges, arcs counter-clockwise on the device unless
// set otherwise, text placed by its alignment and background mode.
//
// Between BEGINPATH and ENDPATH the shapes only build the device context's path.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <cairo.h>

#include "port/gdi/device_context.h"
#include "port/gdi/work_budget.h"

namespace ks318::port::gdi {

enum class ArcKind { arc, arcTo, chord, pie };

// Options of EXTTEXTOUT.
inline constexpr std::uint32_t kTextOpaque = 0x2;
inline constexpr std::uint32_t kTextClipped = 0x4;

struct TextRun {
    Point reference;                  // logical
    std::u32string characters;
    std::vector<double> advances;     // logical units per character, or empty
    std::uint32_t options = 0;
    std::optional<LogicalRect> rect;  // for kTextOpaque and kTextClipped
};

class Painter {
public:
    // `cr` draws on the canvas in canvas pixels (identity matrix). A measuring
    // painter draws nothing: it only finds where the drawing would reach (for
    // text, `cr` still gives the fonts' measures).
    Painter(cairo_t *cr, DeviceContext &dc, bool measuring = false);
    ~Painter();
    Painter(const Painter &) = delete;
    Painter &operator=(const Painter &) = delete;

    void moveTo(Point p);
    void lineTo(Point p);
    void polyline(std::span<const Point> points);
    void polylineTo(std::span<const Point> points);
    void polygon(std::span<const Point> points);
    void polyPolygon(std::span<const Point> points, std::span<const std::uint32_t> counts);
    void polyPolyline(std::span<const Point> points, std::span<const std::uint32_t> counts);
    void polyBezier(std::span<const Point> points);
    void polyBezierTo(std::span<const Point> points);
    void rectangle(const LogicalRect &r);
    void roundRect(const LogicalRect &r, double cornerWidth, double cornerHeight);
    void ellipse(const LogicalRect &r);
    void arc(ArcKind kind, const LogicalRect &box, Point start, Point end);
    void setPixel(Point p, Colour colour);
    void text(const TextRun &run);

    // PATBLT and the bitmap records: `rop` is a ternary raster operation.
    void patternBlit(const LogicalRect &destination, std::uint32_t rop);
    // Draws the source rectangle of `bitmap` (pixels, rows top first) into the
    // logical destination, stretched nearest-neighbour and flipped where the
    // destination's extents are negative.
    void bitmapBlit(const Bitmap &bitmap, double sourceX, double sourceY, double sourceWidth, double sourceHeight,
                    const LogicalRect &destination, std::uint32_t rop);
    void fillRegion(const Region &region, const Brush &brush);
    void paintRegion(const Region &region);
    // A region in logical units as canvas pixels.
    PixelRegion regionPixels(const Region &region) const;

    void beginPath();
    void endPath();
    void abortPath();
    void closeFigure();
    void fillPath();
    void strokePath();
    void strokeAndFillPath();
    void selectClipPath(int mode);

    // Where a measuring painter found drawing, in canvas pixels; empty (width 0) when nowhere.
    cairo_rectangle_t ink() const { return ink_; }

private:
    using Outline = std::vector<Point>;  // canvas pixels
    // `fillOffset` moves the outline for the fill only (see kPolygonFillOffset).
    void shape(const std::vector<Outline> &outlines, bool closed, bool fill, bool stroke, double fillOffset = 0);
    void drawCurrentPath(bool fill, bool stroke);
    void applyClip();
    bool setPenSource(double &width);
    bool setBrushSource(const Brush &brush);
    void setColour(Colour c);
    void addOutlines(const std::vector<Outline> &outlines, bool closed, double offset);
    std::vector<Outline> arcOutline(ArcKind kind, const LogicalRect &box, Point start, Point end, bool *empty);
    std::vector<Outline> turnedArcOutline(ArcKind kind, const LogicalRect &box, Point start, Point end, bool *empty);
    Outline snapped(std::span<const Point> logical);
    void extendFigure(const Outline &tail);
    std::optional<Outline> bezierOutline(std::span<const Point> points);
    std::optional<std::vector<Outline>> figures(std::span<const Point> points, std::span<const std::uint32_t> counts);
    // Rectangles leave out their right and bottom edges, except in the advanced
    // graphics mode; ellipses, arcs and rounded rectangles always do.
    double edgeInset() const { return dc_.advancedGraphics() ? 0 : 1; }
    bool spendPoints(std::size_t count);
    void blitRop(const cairo_rectangle_int_t &area, cairo_pattern_t *source, std::uint32_t rop);

    void addInk(double left, double top, double right, double bottom);
    bool chargeOutlines(const std::vector<Outline> &outlines);

    cairo_t *cr_;
    DeviceContext &dc_;
    WorkBudget &budget_;
    bool measuring_;
    cairo_rectangle_t ink_{0, 0, 0, 0};
    std::size_t pathPoints_ = 0;
    std::uint64_t appliedClip_ = ~std::uint64_t{0};
    bool inPath_ = false;
    std::vector<Outline> path_;  // the figures of the path being built or ended
    std::vector<bool> pathClosed_;
    bool figureOpen_ = false;  // inside a path: the next LINETO carries on the last figure
    cairo_font_options_t *fontOptions_;
};

}  // namespace ks318::port::gdi
