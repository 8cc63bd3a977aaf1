#include "port/gdi/painter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "port/gdi/text_encoding.h"

namespace ks318::port::gdi {
namespace {

// Pixels across a cosmetic pen's dashes and gaps, as Windows draws them.
const std::vector<double> kCosmeticDash{18, 6};
const std::vector<double> kCosmeticDot{3, 3};
const std::vector<double> kCosmeticDashDot{9, 6, 3, 6};
const std::vector<double> kCosmeticDashDotDot{9, 3, 3, 3, 3, 3};
// Segments of an arc: about one per two pixels of its length, within bounds.
constexpr int kMinArcSegments = 8;
constexpr int kMaxArcSegments = 4096;
constexpr int kBezierSegments = 24;
// A font height of 0 asks for the default: this many pixels of character height.
constexpr double kDefaultFontPixels = 13;
// The work a shape costs: a unit per point, and one per this many pixels of its
// edges on the canvas (where filling and dashing spend their time); an edge
// counts at most as long as the canvas's clip is wide and high.
constexpr double kPixelsPerUnit = 1;
// Points one shape, or one path, may have: the memory of their outlines.
constexpr std::size_t kMaxShapePoints = 1 << 20;
// A polygon's corners are the centres of their pixels: it fills the pixels whose
// centres lie inside it, moved half a pixel. The 1/64 short of a half keeps
// edges off the sample points, so that edges along them fall the same way.
constexpr double kPolygonFillOffset = 0.5 - 1.0 / 64;
// A character costs this many units (its glyph found, placed and drawn).
constexpr std::uint64_t kCharacterCost = 4;

// Windows rounds device coordinates half up.
double rounded(double v) { return std::floor(v + 0.5); }

// One byte of a ternary raster operation: bit (p·4 + s·2 + d) of the code is the
// result for those inputs.
std::uint8_t rop3(std::uint8_t code, std::uint8_t p, std::uint8_t s, std::uint8_t d) {
    std::uint8_t result = 0;
    for (int i = 0; i < 8; ++i)
        if ((code >> i) & 1)
            result |= static_cast<std::uint8_t>(((i & 4) ? p : ~p) & ((i & 2) ? s : ~s) & ((i & 1) ? d : ~d));
    return result;
}

std::uint32_t argb(Colour c) { return 0xFF000000u | (c.red << 16) | (c.green << 8) | c.blue; }

// An 8 × 8 hatch, lines in the brush's colour over the background (or nothing).
cairo_pattern_t *hatchPattern(const Brush &brush, const DcState &state) {
    cairo_surface_t *tile = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
    cairo_surface_flush(tile);
    unsigned char *data = cairo_image_surface_get_data(tile);
    const int stride = cairo_image_surface_get_stride(tile);
    const std::uint32_t ink = argb(brush.colour);
    const std::uint32_t ground = state.backgroundMode == kOpaque ? argb(state.backgroundColour) : 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            bool on = false;
            switch (brush.hatch) {
            case 0: on = y == 3; break;
            case 1: on = x == 4; break;
            case 2: on = x == y; break;
            case 3: on = x + y == 7; break;
            case 4: on = x == 4 || y == 3; break;
            case 5: on = x == y || x + y == 7; break;
            default: on = true; break;
            }
            reinterpret_cast<std::uint32_t *>(data + y * stride)[x] = on ? ink : ground;
        }
    cairo_surface_mark_dirty(tile);
    cairo_pattern_t *pattern = cairo_pattern_create_for_surface(tile);
    cairo_surface_destroy(tile);
    return pattern;
}

// A bitmap's pixels as a cairo surface that borrows them.
cairo_surface_t *bitmapSurface(const Bitmap &bitmap) {
    return cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char *>(const_cast<std::uint32_t *>(bitmap.argb.data())), CAIRO_FORMAT_RGB24,
        bitmap.width, bitmap.height, bitmap.width * 4);
}

}  // namespace

Painter::Painter(cairo_t *cr, DeviceContext &dc, bool measuring)
    : cr_(cr), dc_(dc), budget_(dc.budget()), measuring_(measuring), fontOptions_(cairo_font_options_create()) {
    cairo_identity_matrix(cr_);
    cairo_set_antialias(cr_, CAIRO_ANTIALIAS_NONE);
    cairo_font_options_set_antialias(fontOptions_, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(fontOptions_, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(fontOptions_, CAIRO_HINT_METRICS_OFF);
}

Painter::~Painter() { cairo_font_options_destroy(fontOptions_); }

bool Painter::spendPoints(std::size_t count) {
    if (count > kMaxShapePoints) {
        budget_.exhaust();
        return false;
    }
    return budget_.spend(count + 1);
}

bool Painter::chargeOutlines(const std::vector<Outline> &outlines) {
    cairo_rectangle_int_t clip;
    cairo_region_get_extents(dc_.clipRegion(), &clip);
    const double reach = static_cast<double>(clip.width) + clip.height;
    double pixels = 0;
    for (const Outline &outline : outlines)
        for (std::size_t i = 1; i < outline.size(); ++i)
            pixels += std::min(reach, std::fabs(outline[i].x - outline[i - 1].x) + std::fabs(outline[i].y - outline[i - 1].y));
    return budget_.spend(static_cast<std::uint64_t>(pixels / kPixelsPerUnit));
}

// The clip's pixels that a box of canvas pixels reaches join the ink.
void Painter::addInk(double left, double top, double right, double bottom) {
    cairo_rectangle_int_t clip;
    cairo_region_get_extents(dc_.clipRegion(), &clip);
    left = std::max(left, static_cast<double>(clip.x));
    top = std::max(top, static_cast<double>(clip.y));
    right = std::min(right, static_cast<double>(clip.x) + clip.width);
    bottom = std::min(bottom, static_cast<double>(clip.y) + clip.height);
    if (!(right > left) || !(bottom > top)) return;
    if (ink_.width <= 0) {
        ink_ = {left, top, right - left, bottom - top};
        return;
    }
    const double x1 = std::max(ink_.x + ink_.width, right), y1 = std::max(ink_.y + ink_.height, bottom);
    ink_.x = std::min(ink_.x, left), ink_.y = std::min(ink_.y, top);
    ink_.width = x1 - ink_.x, ink_.height = y1 - ink_.y;
}

void Painter::applyClip() {
    if (appliedClip_ == dc_.clipVersion()) return;
    appliedClip_ = dc_.clipVersion();
    cairo_reset_clip(cr_);
    cairo_new_path(cr_);
    const cairo_region_t *region = dc_.clipRegion();
    const int count = cairo_region_num_rectangles(region);
    budget_.spend(static_cast<std::uint64_t>(count));
    for (int i = 0; i < count; ++i) {
        cairo_rectangle_int_t r;
        cairo_region_get_rectangle(region, i, &r);
        cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    }
    if (count == 0) cairo_rectangle(cr_, 0, 0, 0, 0);
    cairo_clip(cr_);
}

void Painter::setColour(Colour c) { cairo_set_source_rgb(cr_, c.red / 255.0, c.green / 255.0, c.blue / 255.0); }

Painter::Outline Painter::snapped(std::span<const Point> logical) {
    Outline out;
    out.reserve(logical.size());
    for (Point p : logical) {
        const Point c = dc_.toCanvas(p);
        out.push_back({rounded(c.x), rounded(c.y)});
    }
    return out;
}

// The pen as cairo's stroke; false for the null pen. `width` gets the width in pixels.
bool Painter::setPenSource(double &width) {
    const DcState &s = dc_.state();
    const Pen &pen = *s.pen;
    if (pen.style == kPenNull || s.rop2 == 11 /* no operation */) return false;
    width = pen.cosmetic ? 1 : std::max(1.0, rounded(dc_.lengthAlongX(pen.width)));
    Colour colour = pen.colour;
    if (s.rop2 == 1) colour = kBlack;
    if (s.rop2 == 16) colour = kWhite;
    setColour(colour);
    cairo_set_line_width(cr_, width);
    const bool thin = width <= 1;
    if (thin) {
        cairo_set_line_cap(cr_, CAIRO_LINE_CAP_BUTT);
        cairo_set_line_join(cr_, CAIRO_LINE_JOIN_MITER);
    } else {
        cairo_set_line_cap(cr_, pen.endCap == 1 ? CAIRO_LINE_CAP_SQUARE
                                : pen.endCap == 2 ? CAIRO_LINE_CAP_BUTT
                                                  : CAIRO_LINE_CAP_ROUND);
        cairo_set_line_join(cr_, pen.join == 1 ? CAIRO_LINE_JOIN_BEVEL
                                 : pen.join == 2 ? CAIRO_LINE_JOIN_MITER
                                                 : CAIRO_LINE_JOIN_ROUND);
    }
    cairo_set_miter_limit(cr_, std::clamp(s.miterLimit, 1.0, 100.0));
    std::vector<double> dashes;
    if (thin || pen.styledWhenWide) {
        const double unit = thin ? 1 : width;
        const std::vector<double> *pattern = nullptr;
        switch (pen.style) {
        case kPenDash: pattern = &kCosmeticDash; break;
        case kPenDot:
        case kPenAlternate: pattern = &kCosmeticDot; break;
        case kPenDashDot: pattern = &kCosmeticDashDot; break;
        case kPenDashDotDot: pattern = &kCosmeticDashDotDot; break;
        case kPenUserStyle:
            for (double d : pen.userDashes) dashes.push_back(std::max(1.0, dc_.lengthAlongX(d)));
            break;
        default: break;
        }
        if (pattern != nullptr && !thin)
            for (double d : *pattern) dashes.push_back(d / 3 * unit);
        else if (pattern != nullptr)
            dashes = *pattern;
    }
    double total = 0;
    for (double d : dashes) total += d;
    if (total > 0 && dashes.size() <= 32)
        cairo_set_dash(cr_, dashes.data(), static_cast<int>(dashes.size()), 0);
    else
        cairo_set_dash(cr_, nullptr, 0, 0);
    return true;
}

bool Painter::setBrushSource(const Brush &brush) {
    const DcState &s = dc_.state();
    switch (brush.style) {
    case kBrushNull: return false;
    case kBrushHatched: {
        cairo_pattern_t *pattern = hatchPattern(brush, s);
        cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
        cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
        cairo_set_source(cr_, pattern);
        cairo_pattern_destroy(pattern);
        return true;
    }
    case kBrushPattern:
    case kBrushDibPattern:
    case kBrushDibPatternPt:
        if (brush.pattern && brush.pattern->width > 0 && brush.pattern->height > 0) {
            cairo_surface_t *tile = bitmapSurface(*brush.pattern);
            cairo_pattern_t *pattern = cairo_pattern_create_for_surface(tile);
            cairo_pattern_set_extend(pattern, CAIRO_EXTEND_REPEAT);
            cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
            cairo_set_source(cr_, pattern);
            cairo_pattern_destroy(pattern);
            cairo_surface_destroy(tile);
            return true;
        }
        setColour(brush.colour);
        return true;
    default: setColour(brush.colour); return true;
    }
}

void Painter::addOutlines(const std::vector<Outline> &outlines, bool closed, double offset) {
    for (const Outline &outline : outlines) {
        if (outline.empty()) continue;
        cairo_move_to(cr_, outline[0].x + offset, outline[0].y + offset);
        for (std::size_t i = 1; i < outline.size(); ++i) cairo_line_to(cr_, outline[i].x + offset, outline[i].y + offset);
        if (closed) cairo_close_path(cr_);
    }
}

// Fills the outlines with the brush and draws them with the pen; inside a path
// bracket they join the path instead.
void Painter::shape(const std::vector<Outline> &outlines, bool closed, bool fill, bool stroke, double fillOffset) {
    // Measuring rasterizes nothing: only the points count then.
    if (!measuring_ && !chargeOutlines(outlines)) return;
    if (inPath_) {
        // A shape of its own is a figure of its own; a following LINETO starts another.
        figureOpen_ = false;
        for (const Outline &outline : outlines) {
            pathPoints_ += outline.size();
            if (pathPoints_ > kMaxShapePoints) return budget_.exhaust();
            path_.push_back(outline);
            pathClosed_.push_back(closed);
        }
        return;
    }
    const DcState &s = dc_.state();
    if (measuring_) {
        // Where a shape is, as Windows counts a picture's bounds when it records
        // one: its points' pixels, whatever its pen and brush.
        double left = 1e300, top = 1e300, right = -1e300, bottom = -1e300;
        for (const Outline &outline : outlines)
            for (Point p : outline)
                left = std::min(left, p.x), top = std::min(top, p.y), right = std::max(right, p.x),
                bottom = std::max(bottom, p.y);
        return addInk(left, top, right + 1, bottom + 1);
    }
    applyClip();
    if (fill && closed && setBrushSource(*s.brush)) {
        cairo_new_path(cr_);
        addOutlines(outlines, true, fillOffset);
        cairo_set_fill_rule(cr_, s.polyFillMode == 2 ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
        cairo_fill(cr_);
    }
    double width = 1;
    if (stroke && setPenSource(width)) {
        cairo_new_path(cr_);
        // Odd widths centred on the pixels the path goes through; even ones
        // reach one pixel further left and up.
        const double offset = static_cast<long long>(width) % 2 == 1 ? 0.5 : 0;
        addOutlines(outlines, closed, offset);
        cairo_stroke(cr_);
    }
    cairo_new_path(cr_);
}

void Painter::moveTo(Point p) {
    dc_.state().current = p;
    figureOpen_ = false;  // inside a path the next line starts a new figure here
}

// Inside a path, LINETO, POLYLINETO and POLYBEZIERTO carry on the figure they
// find open, from the current position; after BEGINPATH, MOVETO, CLOSEFIGURE or
// a shape of its own they start a new one. `tail` begins at the current position.
void Painter::extendFigure(const Outline &tail) {
    if (!figureOpen_ || path_.empty() || pathClosed_.back()) {
        shape({tail}, false, false, true);
        figureOpen_ = true;
        return;
    }
    if (!measuring_ && !chargeOutlines({tail})) return;
    pathPoints_ += tail.size();
    if (pathPoints_ > kMaxShapePoints) return budget_.exhaust();
    path_.back().insert(path_.back().end(), tail.begin() + 1, tail.end());
}

void Painter::lineTo(Point p) {
    const Point from = dc_.state().current;
    dc_.state().current = p;
    if (!spendPoints(2)) return;
    const Point both[2] = {from, p};
    if (inPath_) return extendFigure(snapped(both));
    shape({snapped(both)}, false, false, true);
}

void Painter::polyline(std::span<const Point> points) {
    if (points.size() < 2 || !spendPoints(points.size())) return;
    shape({snapped(points)}, false, false, true);
}

void Painter::polylineTo(std::span<const Point> points) {
    if (points.empty() || !spendPoints(points.size() + 1)) return;
    std::vector<Point> all{dc_.state().current};
    all.insert(all.end(), points.begin(), points.end());
    dc_.state().current = points.back();
    if (inPath_) return extendFigure(snapped(all));
    shape({snapped(all)}, false, false, true);
}

void Painter::polygon(std::span<const Point> points) {
    if (points.size() < 2 || !spendPoints(points.size())) return;
    shape({snapped(points)}, true, true, true, kPolygonFillOffset);
}

// Outlines of figures of `counts` points each, taken in turn; nothing when the
// counts ask for more points than there are.
std::optional<std::vector<Painter::Outline>> Painter::figures(std::span<const Point> points,
                                                             std::span<const std::uint32_t> counts) {
    if (!spendPoints(points.size() + counts.size())) return std::nullopt;
    std::vector<Outline> outlines;
    std::size_t at = 0;
    for (std::uint32_t count : counts) {
        if (count > points.size() - at) return std::nullopt;
        outlines.push_back(snapped(points.subspan(at, count)));
        at += count;
    }
    return outlines;
}

void Painter::polyPolygon(std::span<const Point> points, std::span<const std::uint32_t> counts) {
    if (auto outlines = figures(points, counts)) shape(*outlines, true, true, true, kPolygonFillOffset);
}

void Painter::polyPolyline(std::span<const Point> points, std::span<const std::uint32_t> counts) {
    if (auto outlines = figures(points, counts)) shape(*outlines, false, false, true);
}

// Cubic Bezier curves: the first point, then three per curve; nothing when
// there is no whole curve or the budget is spent.
std::optional<Painter::Outline> Painter::bezierOutline(std::span<const Point> points) {
    if (points.size() < 4 || !spendPoints(points.size() * kBezierSegments / 3)) return std::nullopt;
    std::vector<Point> flat{points[0]};
    for (std::size_t i = 1; i + 2 < points.size(); i += 3) {
        const Point p0 = points[i - 1], p1 = points[i], p2 = points[i + 1], p3 = points[i + 2];
        for (int k = 1; k <= kBezierSegments; ++k) {
            const double t = static_cast<double>(k) / kBezierSegments, u = 1 - t;
            flat.push_back({u * u * u * p0.x + 3 * u * u * t * p1.x + 3 * u * t * t * p2.x + t * t * t * p3.x,
                            u * u * u * p0.y + 3 * u * u * t * p1.y + 3 * u * t * t * p2.y + t * t * t * p3.y});
        }
    }
    // Curves keep the precision of canvas pixels: snap only the ends.
    Outline outline;
    for (Point p : flat) outline.push_back(dc_.toCanvas(p));
    outline.front() = {rounded(outline.front().x), rounded(outline.front().y)};
    outline.back() = {rounded(outline.back().x), rounded(outline.back().y)};
    return outline;
}

void Painter::polyBezier(std::span<const Point> points) {
    if (auto outline = bezierOutline(points)) shape({*outline}, false, false, true);
}

void Painter::polyBezierTo(std::span<const Point> points) {
    if (points.size() < 3) return;
    std::vector<Point> all{dc_.state().current};
    all.insert(all.end(), points.begin(), points.end() - static_cast<long>(points.size() % 3));
    dc_.state().current = all.back();
    auto outline = bezierOutline(all);
    if (!outline) return;
    if (inPath_) return extendFigure(*outline);
    shape({*outline}, false, false, true);
}

void Painter::rectangle(const LogicalRect &r) {
    if (!spendPoints(4)) return;
    if (!dc_.axisAligned()) {  // turned or sheared by the world transform: its four corners
        shape({snapped(std::vector<Point>{{r.left, r.top}, {r.right, r.top}, {r.right, r.bottom}, {r.left, r.bottom}})},
              true, true, true);
        return;
    }
    const Outline corners = snapped(std::vector<Point>{{r.left, r.top}, {r.right, r.bottom}});
    double left = std::min(corners[0].x, corners[1].x), right = std::max(corners[0].x, corners[1].x) - edgeInset();
    double top = std::min(corners[0].y, corners[1].y), bottom = std::max(corners[0].y, corners[1].y) - edgeInset();
    if (inPath_) right += edgeInset(), bottom += edgeInset();
    if (right < left || bottom < top) return;
    double width = 1;
    if (dc_.state().pen->style == kPenInsideFrame && !dc_.state().pen->cosmetic) {
        width = std::max(1.0, rounded(dc_.lengthAlongX(dc_.state().pen->width)));
        const double in = std::floor(width / 2);
        left += in, top += in, right -= in, bottom -= in;
    }
    shape({{{left, top}, {right, top}, {right, bottom}, {left, bottom}}}, true, true, true);
}

std::vector<Painter::Outline> Painter::arcOutline(ArcKind kind, const LogicalRect &box, Point start, Point end,
                                                  bool *empty) {
    if (!dc_.axisAligned()) return turnedArcOutline(kind, box, start, end, empty);
    const Outline corners = snapped(std::vector<Point>{{box.left, box.top}, {box.right, box.bottom}});
    double left = std::min(corners[0].x, corners[1].x), right = std::max(corners[0].x, corners[1].x) - 1;
    double top = std::min(corners[0].y, corners[1].y), bottom = std::max(corners[0].y, corners[1].y) - 1;
    *empty = right <= left || bottom <= top;
    if (*empty) return {};
    const Pen &pen = *dc_.state().pen;
    if (pen.style == kPenInsideFrame && !pen.cosmetic) {
        const double in = std::floor(std::max(1.0, rounded(dc_.lengthAlongX(pen.width))) / 2);
        left += in, top += in, right -= in, bottom -= in;
    }
    const double cx = (left + right) / 2, cy = (top + bottom) / 2;
    const double rx = std::max(0.5, (right - left) / 2), ry = std::max(0.5, (bottom - top) / 2);
    const double perimeter = 2 * std::numbers::pi * std::max(rx, ry);
    const int full = std::clamp(static_cast<int>(perimeter / 2), kMinArcSegments, kMaxArcSegments);
    spendPoints(static_cast<std::size_t>(full));
    Outline outline;
    // Angles on the canvas (y down): counter-clockwise on the screen is a
    // decreasing angle. Start and end on the same radial: the whole ellipse.
    const Point s = dc_.toCanvas(start), e = dc_.toCanvas(end);
    const double from = std::atan2((s.y - cy) / ry, (s.x - cx) / rx);
    double to = std::atan2((e.y - cy) / ry, (e.x - cx) / rx);
    const bool clockwise = dc_.state().arcClockwise;
    if (!clockwise && to >= from) to -= 2 * std::numbers::pi;
    if (clockwise && to <= from) to += 2 * std::numbers::pi;
    const int segments = std::max(2, static_cast<int>(std::ceil(full * std::fabs(to - from) / (2 * std::numbers::pi))));
    for (int i = 0; i <= segments; ++i) {
        const double a = from + (to - from) * i / segments;
        outline.push_back({cx + rx * std::cos(a), cy + ry * std::sin(a)});
    }
    if (kind == ArcKind::pie) outline.push_back({cx, cy});
    return {outline};
}

// Under a world transform that turns or shears, the curve is found in logical
// units and each of its points transformed. Counter-clockwise is still as seen
// on the device: a transform that mirrors turns the logical direction round.
std::vector<Painter::Outline> Painter::turnedArcOutline(ArcKind kind, const LogicalRect &box, Point start, Point end,
                                                        bool *empty) {
    const double cx = (box.left + box.right) / 2, cy = (box.top + box.bottom) / 2;
    const double rx = std::fabs(box.right - box.left) / 2, ry = std::fabs(box.bottom - box.top) / 2;
    *empty = rx == 0 || ry == 0;
    if (*empty) return {};
    const cairo_matrix_t &m = dc_.logicalToCanvas();
    const bool mirrored = m.xx * m.yy - m.xy * m.yx < 0;
    const double perimeter = 2 * std::numbers::pi * std::max(dc_.lengthAlongX(rx), dc_.lengthAlongY(ry));
    const int full = std::clamp(static_cast<int>(perimeter / 2), kMinArcSegments, kMaxArcSegments);
    spendPoints(static_cast<std::size_t>(full));
    const double from = std::atan2((start.y - cy) / ry, (start.x - cx) / rx);
    double to = std::atan2((end.y - cy) / ry, (end.x - cx) / rx);
    const bool clockwise = dc_.state().arcClockwise != mirrored;
    if (!clockwise && to >= from) to -= 2 * std::numbers::pi;
    if (clockwise && to <= from) to += 2 * std::numbers::pi;
    const int segments = std::max(2, static_cast<int>(std::ceil(full * std::fabs(to - from) / (2 * std::numbers::pi))));
    Outline outline;
    for (int i = 0; i <= segments; ++i) {
        const double a = from + (to - from) * i / segments;
        outline.push_back(dc_.toCanvas({cx + rx * std::cos(a), cy + ry * std::sin(a)}));
    }
    if (kind == ArcKind::pie) outline.push_back(dc_.toCanvas({cx, cy}));
    return {outline};
}

void Painter::ellipse(const LogicalRect &r) {
    bool empty = false;
    // A whole turn: start and end at the same point.
    auto outlines = arcOutline(ArcKind::chord, r, {r.right, (r.top + r.bottom) / 2}, {r.right, (r.top + r.bottom) / 2},
                               &empty);
    if (empty) return;
    shape(outlines, true, true, true);
}

void Painter::roundRect(const LogicalRect &r, double cornerWidth, double cornerHeight) {
    const Outline corners = snapped(std::vector<Point>{{r.left, r.top}, {r.right, r.bottom}});
    const double left = std::min(corners[0].x, corners[1].x), right = std::max(corners[0].x, corners[1].x) - 1;
    const double top = std::min(corners[0].y, corners[1].y), bottom = std::max(corners[0].y, corners[1].y) - 1;
    if (right <= left || bottom <= top || !spendPoints(64)) return;
    const double rx = std::min(dc_.lengthAlongX(cornerWidth) / 2, (right - left) / 2);
    const double ry = std::min(dc_.lengthAlongY(cornerHeight) / 2, (bottom - top) / 2);
    Outline outline;
    const struct {
        double cx, cy, from;
    } quarters[] = {{right - rx, top + ry, -std::numbers::pi / 2},
                    {right - rx, bottom - ry, 0},
                    {left + rx, bottom - ry, std::numbers::pi / 2},
                    {left + rx, top + ry, std::numbers::pi}};
    for (const auto &q : quarters)
        for (int i = 0; i <= 8; ++i) {
            const double a = q.from + std::numbers::pi / 2 * i / 8;
            outline.push_back({q.cx + rx * std::cos(a), q.cy + ry * std::sin(a)});
        }
    shape({outline}, true, true, true);
}

void Painter::arc(ArcKind kind, const LogicalRect &box, Point start, Point end) {
    bool empty = false;
    std::vector<Outline> outlines = arcOutline(kind, box, start, end, &empty);
    if (empty) return;
    if (kind == ArcKind::arcTo) {
        // A line from the current position to the arc's start, then the arc.
        const Point from = dc_.toCanvas(dc_.state().current);
        outlines[0].insert(outlines[0].begin(), {rounded(from.x), rounded(from.y)});
        // The current position follows to the arc's end, in logical units.
        cairo_matrix_t back = dc_.logicalToCanvas();
        if (cairo_matrix_invert(&back) == CAIRO_STATUS_SUCCESS) {
            double x = outlines[0].back().x, y = outlines[0].back().y;
            cairo_matrix_transform_point(&back, &x, &y);
            dc_.state().current = {x, y};
        }
    }
    const bool closed = kind == ArcKind::chord || kind == ArcKind::pie;
    shape(outlines, closed, closed, true);
}

void Painter::setPixel(Point p, Colour colour) {
    if (inPath_ || !spendPoints(1)) return;
    const Point c = dc_.toCanvas(p);
    if (measuring_) return addInk(rounded(c.x), rounded(c.y), rounded(c.x) + 1, rounded(c.y) + 1);
    applyClip();
    setColour(colour);
    cairo_rectangle(cr_, rounded(c.x), rounded(c.y), 1, 1);
    cairo_fill(cr_);
}

void Painter::text(const TextRun &run) {
    const DcState &s = dc_.state();
    if (inPath_ || !budget_.spend(kCharacterCost * run.characters.size() + 1)) return;
    if (!measuring_) applyClip();
    const Font &font = *s.font;
    cairo_font_face_t *face = cairo_toy_font_face_create(
        font.face.empty() ? "sans-serif" : font.face.c_str(), font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
        font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_face(cr_, face);
    cairo_font_face_destroy(face);
    cairo_set_font_options(cr_, fontOptions_);

    // The size: a negative height is the characters' own, a positive one the cells'.
    cairo_set_font_size(cr_, 1);
    cairo_font_extents_t unit;
    cairo_font_extents(cr_, &unit);
    double size = kDefaultFontPixels;
    if (font.height < 0) size = dc_.lengthAlongY(-font.height);
    if (font.height > 0) size = dc_.lengthAlongY(font.height) / std::max(0.5, unit.ascent + unit.descent);
    if (!std::isfinite(size) || size < 0.5) return;
    size = std::min(size, 4096.0);
    cairo_set_font_size(cr_, size);
    cairo_font_extents_t extents;
    cairo_font_extents(cr_, &extents);

    // Escapement turns the baseline counter-clockwise on the device; an enhanced
    // metafile's world transform turns it further.
    double angle = -font.escapement / 10.0 * std::numbers::pi / 180;
    angle += std::atan2(s.world.yx, s.world.xx);

    const std::string utf8 = toUtf8(run.characters);
    cairo_scaled_font_t *scaled = cairo_get_scaled_font(cr_);
    cairo_glyph_t *glyphs = nullptr;
    int glyphCount = 0;
    if (cairo_scaled_font_text_to_glyphs(scaled, 0, 0, utf8.data(), static_cast<int>(utf8.size()), &glyphs, &glyphCount,
                                         nullptr, nullptr, nullptr) != CAIRO_STATUS_SUCCESS) {
        return;
    }
    // Advances: the record's own where it gives one per character.
    double width = 0;
    std::vector<double> advances(static_cast<std::size_t>(glyphCount));
    const double extra = dc_.lengthAlongX(s.textCharExtra);
    for (int i = 0; i < glyphCount; ++i) {
        double natural;
        if (i + 1 < glyphCount) {
            natural = glyphs[i + 1].x - glyphs[i].x;
        } else {
            cairo_text_extents_t te;
            cairo_glyph_extents(cr_, &glyphs[i], 1, &te);
            natural = te.x_advance;
        }
        advances[static_cast<std::size_t>(i)] =
            run.advances.size() == static_cast<std::size_t>(glyphCount) ? dc_.lengthAlongX(run.advances[static_cast<std::size_t>(i)])
                                                                        : natural + extra;
        width += advances[static_cast<std::size_t>(i)];
    }

    const bool updateCp = (s.textAlign & 1) != 0;
    const Point reference = dc_.toCanvas(updateCp ? s.current : run.reference);
    double dx = 0, dy = 0;
    switch (s.textAlign & 6) {
    case 2: dx = -width; break;
    case 6: dx = -width / 2; break;
    default: break;
    }
    switch (s.textAlign & 24) {
    case 8: dy = -extents.descent; break;
    case 24: dy = 0; break;
    default: dy = extents.ascent; break;
    }

    if (measuring_) {
        cairo_glyph_free(glyphs);
        const double cosine = std::cos(angle), sine = std::sin(angle);
        for (double cx : {dx, dx + width})
            for (double cy : {dy - extents.ascent, dy + extents.descent}) {
                const double x = reference.x + cx * cosine - cy * sine, y = reference.y + cx * sine + cy * cosine;
                addInk(std::floor(x), std::floor(y), std::ceil(x), std::ceil(y));
            }
        if (run.rect && (run.options & kTextOpaque)) {
            const cairo_rectangle_int_t box = dc_.canvasRect(*run.rect);
            addInk(box.x, box.y, static_cast<double>(box.x) + box.width, static_cast<double>(box.y) + box.height);
        }
        return;
    }
    cairo_save(cr_);
    if (run.rect && (run.options & (kTextOpaque | kTextClipped))) {
        const cairo_rectangle_int_t box = dc_.canvasRect(*run.rect);
        cairo_rectangle(cr_, box.x, box.y, box.width, box.height);
        if (run.options & kTextOpaque) {
            setColour(s.backgroundColour);
            cairo_fill_preserve(cr_);
        }
        if (run.options & kTextClipped) cairo_clip(cr_);
        cairo_new_path(cr_);
    }
    cairo_translate(cr_, reference.x, reference.y);
    cairo_rotate(cr_, angle);
    cairo_translate(cr_, dx, dy);
    if (s.backgroundMode == kOpaque) {
        setColour(s.backgroundColour);
        cairo_rectangle(cr_, 0, -extents.ascent, width, extents.ascent + extents.descent);
        cairo_fill(cr_);
    }
    double x = 0;
    for (int i = 0; i < glyphCount; ++i) {
        glyphs[i].x = x;
        glyphs[i].y = 0;
        x += advances[static_cast<std::size_t>(i)];
    }
    setColour(s.textColour);
    cairo_set_antialias(cr_, CAIRO_ANTIALIAS_GRAY);
    cairo_show_glyphs(cr_, glyphs, glyphCount);
    const double thickness = std::max(1.0, rounded(size / 14));
    if (font.underline) cairo_rectangle(cr_, 0, std::max(1.0, extents.descent / 2), width, thickness);
    if (font.strikeOut) cairo_rectangle(cr_, 0, -extents.ascent / 3, width, thickness);
    cairo_fill(cr_);
    cairo_restore(cr_);
    cairo_set_antialias(cr_, CAIRO_ANTIALIAS_NONE);
    cairo_glyph_free(glyphs);
    appliedClip_ = ~std::uint64_t{0};  // the restore brought back the clip, but be sure

    if (updateCp) {
        const double perUnit = dc_.lengthAlongX(1);
        if (perUnit > 0) dc_.state().current.x += (run.advances.empty() ? width / perUnit : [&] {
            double sum = 0;
            for (double a : run.advances) sum += a;
            return sum;
        }());
    }
}

void Painter::blitRop(const cairo_rectangle_int_t &area, cairo_pattern_t *source, std::uint32_t rop) {
    const std::uint8_t code = static_cast<std::uint8_t>(rop >> 16);
    applyClip();
    // Pixels of the canvas inside the clip region.
    cairo_region_t *pixels = cairo_region_copy(dc_.clipRegion());
    cairo_region_intersect_rectangle(pixels, &area);
    cairo_rectangle_int_t extent;
    cairo_region_get_extents(pixels, &extent);
    if (extent.width <= 0 || extent.height <= 0 || !budget_.spend(static_cast<std::uint64_t>(extent.width) * extent.height)) {
        cairo_region_destroy(pixels);
        return;
    }
    // The source and the pattern, drawn onto scratch surfaces of the extent.
    auto scratch = [&](auto draw) {
        cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, extent.width, extent.height);
        cairo_t *cr = cairo_create(surface);
        cairo_translate(cr, -extent.x, -extent.y);
        draw(cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        return surface;
    };
    cairo_surface_t *sourcePixels = scratch([&](cairo_t *cr) {
        if (source == nullptr) return;
        cairo_set_source(cr, source);
        cairo_rectangle(cr, area.x, area.y, area.width, area.height);
        cairo_fill(cr);
    });
    cairo_surface_t *patternPixels = scratch([&](cairo_t *cr) {
        cairo_t *saved = cr_;
        cr_ = cr;
        const bool brush = setBrushSource(*dc_.state().brush);
        cr_ = saved;
        if (!brush) return;
        cairo_rectangle(cr, area.x, area.y, area.width, area.height);
        cairo_fill(cr);
    });
    cairo_surface_t *target = cairo_get_target(cr_);
    cairo_surface_flush(target);
    unsigned char *canvas = cairo_image_surface_get_data(target);
    const int canvasStride = cairo_image_surface_get_stride(target);
    const int canvasWidth = cairo_image_surface_get_width(target), canvasHeight = cairo_image_surface_get_height(target);
    const unsigned char *src = cairo_image_surface_get_data(sourcePixels);
    const unsigned char *pat = cairo_image_surface_get_data(patternPixels);
    const int scratchStride = cairo_image_surface_get_stride(sourcePixels);
    const bool usesSource = ((code >> 2) & 0x33) != (code & 0x33);
    const int count = cairo_region_num_rectangles(pixels);
    for (int i = 0; i < count; ++i) {
        cairo_rectangle_int_t r;
        cairo_region_get_rectangle(pixels, i, &r);
        for (int y = std::max(r.y, 0); y < std::min(r.y + r.height, canvasHeight); ++y)
            for (int x = std::max(r.x, 0); x < std::min(r.x + r.width, canvasWidth); ++x) {
                const std::size_t at = static_cast<std::size_t>(y - extent.y) * scratchStride + (x - extent.x) * 4;
                std::uint32_t s = 0, p = 0;
                std::memcpy(&s, src + at, 4);
                std::memcpy(&p, pat + at, 4);
                if (usesSource && (s >> 24) == 0) continue;  // outside the bitmap
                auto *d = reinterpret_cast<std::uint32_t *>(canvas + static_cast<std::size_t>(y) * canvasStride) + x;
                std::uint32_t out = 0xFF000000u;
                for (int shift = 0; shift < 24; shift += 8)
                    out |= static_cast<std::uint32_t>(rop3(code, static_cast<std::uint8_t>(p >> shift),
                                                           static_cast<std::uint8_t>(s >> shift),
                                                           static_cast<std::uint8_t>(*d >> shift)))
                           << shift;
                *d = out;
            }
    }
    cairo_surface_mark_dirty(target);
    cairo_surface_destroy(sourcePixels);
    cairo_surface_destroy(patternPixels);
    cairo_region_destroy(pixels);
}

void Painter::patternBlit(const LogicalRect &destination, std::uint32_t rop) {
    if (inPath_ || !spendPoints(4)) return;
    const cairo_rectangle_int_t area = dc_.canvasRect(destination);
    if (area.width <= 0 || area.height <= 0) return;
    if (measuring_)
        return addInk(area.x, area.y, static_cast<double>(area.x) + area.width, static_cast<double>(area.y) + area.height);
    if (rop == 0x00F00021) {  // the brush, as it is
        applyClip();
        if (!setBrushSource(*dc_.state().brush)) return;
        cairo_rectangle(cr_, area.x, area.y, area.width, area.height);
        cairo_fill(cr_);
        return;
    }
    blitRop(area, nullptr, rop);
}

void Painter::bitmapBlit(const Bitmap &bitmap, double sourceX, double sourceY, double sourceWidth, double sourceHeight,
                         const LogicalRect &destination, std::uint32_t rop) {
    if (inPath_ || bitmap.width <= 0 || bitmap.height <= 0 || !spendPoints(4)) return;
    if (bitmap.bottomUp) sourceY = bitmap.height - (sourceY + sourceHeight);
    const Point p0 = dc_.toCanvas({destination.left, destination.top});
    const Point p1 = dc_.toCanvas({destination.right, destination.bottom});
    const double x0 = rounded(p0.x), y0 = rounded(p0.y), x1 = rounded(p1.x), y1 = rounded(p1.y);
    if (x0 == x1 || y0 == y1 || sourceWidth == 0 || sourceHeight == 0) return;
    if (measuring_) return addInk(std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1));
    // The pattern's matrix maps canvas pixels to bitmap pixels.
    cairo_matrix_t toSource;
    const double xx = sourceWidth / (x1 - x0), yy = sourceHeight / (y1 - y0);
    cairo_matrix_init(&toSource, xx, 0, 0, yy, sourceX - x0 * xx, sourceY - y0 * yy);
    cairo_surface_t *surface = bitmapSurface(bitmap);
    cairo_pattern_t *pattern = cairo_pattern_create_for_surface(surface);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_NONE);
    cairo_pattern_set_matrix(pattern, &toSource);
    const cairo_rectangle_int_t area{static_cast<int>(std::min(x0, x1)), static_cast<int>(std::min(y0, y1)),
                                     static_cast<int>(std::fabs(x1 - x0)), static_cast<int>(std::fabs(y1 - y0))};
    if (rop == 0x00CC0020) {  // the bitmap, as it is
        applyClip();
        cairo_set_source(cr_, pattern);
        cairo_rectangle(cr_, area.x, area.y, area.width, area.height);
        cairo_fill(cr_);
    } else {
        blitRop(area, pattern, rop);
    }
    cairo_pattern_destroy(pattern);
    cairo_surface_destroy(surface);
}

PixelRegion Painter::regionPixels(const Region &region) const {
    PixelRegion pixels = makeRegion();
    for (const Region::Rect &r : region.rects) {
        const cairo_rectangle_int_t rect = dc_.canvasRect({r.left, r.top, r.right, r.bottom});
        cairo_region_union_rectangle(pixels.get(), &rect);
    }
    return pixels;
}

void Painter::fillRegion(const Region &region, const Brush &brush) {
    if (inPath_ || !budget_.spend(region.rects.size() + 1) || brush.style == kBrushNull) return;
    const PixelRegion pixels = regionPixels(region);
    if (measuring_) {
        cairo_rectangle_int_t e;
        cairo_region_get_extents(pixels.get(), &e);
        return addInk(e.x, e.y, static_cast<double>(e.x) + e.width, static_cast<double>(e.y) + e.height);
    }
    applyClip();
    if (!setBrushSource(brush)) return;
    for (int i = 0; i < cairo_region_num_rectangles(pixels.get()); ++i) {
        cairo_rectangle_int_t r;
        cairo_region_get_rectangle(pixels.get(), i, &r);
        cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    }
    cairo_fill(cr_);
}

void Painter::paintRegion(const Region &region) { fillRegion(region, *dc_.state().brush); }

void Painter::beginPath() {
    inPath_ = true;
    figureOpen_ = false;
    path_.clear();
    pathClosed_.clear();
    pathPoints_ = 0;
}

void Painter::endPath() { inPath_ = false; }

void Painter::abortPath() {
    inPath_ = false;
    path_.clear();
    pathClosed_.clear();
}

void Painter::closeFigure() {
    if (inPath_ && !pathClosed_.empty()) pathClosed_.back() = true;
    figureOpen_ = false;
}

void Painter::drawCurrentPath(bool fill, bool stroke) {
    if (inPath_) return;
    std::vector<Outline> closed, open;
    for (std::size_t i = 0; i < path_.size(); ++i) (pathClosed_[i] ? closed : open).push_back(path_[i]);
    // A fill closes every figure; a stroke draws open ones open.
    std::vector<Outline> all = closed;
    all.insert(all.end(), open.begin(), open.end());
    if (fill) shape(all, true, true, false);
    if (stroke) {
        shape(closed, true, false, true);
        shape(open, false, false, true);
    }
    path_.clear();
    pathClosed_.clear();
}

void Painter::fillPath() { drawCurrentPath(true, false); }
void Painter::strokePath() { drawCurrentPath(false, true); }
void Painter::strokeAndFillPath() { drawCurrentPath(true, true); }

void Painter::selectClipPath(int mode) {
    if (inPath_) return;
    // The path's pixels, as whole-pixel rows of the clip's bounds.
    const cairo_rectangle_int_t bounds = dc_.bounds();
    PixelRegion pixels = makeRegion();
    const std::uint64_t area = static_cast<std::uint64_t>(bounds.width) * static_cast<std::uint64_t>(bounds.height);
    if (measuring_ || area > 4096ull * 4096) {
        // Measuring where a picture draws: the path's bounding box is enough.
        double left = 1e300, top = 1e300, right = -1e300, bottom = -1e300;
        for (const Outline &outline : path_)
            for (Point p : outline)
                left = std::min(left, p.x), top = std::min(top, p.y), right = std::max(right, p.x),
                bottom = std::max(bottom, p.y);
        if (right > left && bottom > top) {
            const cairo_rectangle_int_t box{static_cast<int>(left), static_cast<int>(top),
                                            static_cast<int>(right - left), static_cast<int>(bottom - top)};
            cairo_region_union_rectangle(pixels.get(), &box);
        }
    } else if (area > 0 && budget_.spend(area)) {
        cairo_surface_t *mask = cairo_image_surface_create(CAIRO_FORMAT_A8, bounds.width, bounds.height);
        cairo_t *cr = cairo_create(mask);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        cairo_translate(cr, -bounds.x, -bounds.y);
        cairo_t *saved = cr_;
        cr_ = cr;
        addOutlines(path_, true, 0);
        cr_ = saved;
        cairo_set_fill_rule(cr, dc_.state().polyFillMode == 2 ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_surface_flush(mask);
        const unsigned char *data = cairo_image_surface_get_data(mask);
        const int stride = cairo_image_surface_get_stride(mask);
        for (int y = 0; y < bounds.height; ++y) {
            int x = 0;
            while (x < bounds.width) {
                while (x < bounds.width && data[y * stride + x] == 0) ++x;
                const int start = x;
                while (x < bounds.width && data[y * stride + x] != 0) ++x;
                if (x > start) {
                    const cairo_rectangle_int_t run{bounds.x + start, bounds.y + y, x - start, 1};
                    cairo_region_union_rectangle(pixels.get(), &run);
                }
            }
        }
        cairo_surface_destroy(mask);
    }
    dc_.combineClip(pixels.get(), mode);
    path_.clear();
    pathClosed_.clear();
}

}  // namespace ks318::port::gdi
