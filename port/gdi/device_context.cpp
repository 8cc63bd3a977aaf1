#include "port/gdi/device_context.h"

#include <algorithm>
#include <cmath>

namespace ks318::port::gdi {
namespace {

// Saved states beyond this many are not kept (SAVEDC is then ignored): a file of
// nothing but SAVEDC records cannot hold the memory of a million states.
constexpr std::size_t kMaxSavedStates = 1024;
// Canvas coordinates are kept within this distance of the canvas: far enough
// that clipping never shows the difference, near enough for cairo's fixed point.
constexpr double kFarAway = 1 << 22;
// Units of work a rectangle of a copied clip region costs (its memory, mostly).
constexpr std::uint64_t kRegionRectCost = 16;

double sane(double value) {
    if (!std::isfinite(value)) return 0;
    return std::clamp(value, -kFarAway, kFarAway);
}

bool usableExtent(Point extent) {
    return std::isfinite(extent.x) && std::isfinite(extent.y) && extent.x != 0 && extent.y != 0;
}

bool usableMatrix(const cairo_matrix_t &m) {
    for (double v : {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0})
        if (!std::isfinite(v) || std::fabs(v) > 1e12) return false;
    return true;
}

}  // namespace

PixelRegion makeRegion(const cairo_rectangle_int_t *rect) {
    cairo_region_t *region = rect != nullptr ? cairo_region_create_rectangle(rect) : cairo_region_create();
    return PixelRegion(region, cairo_region_destroy);
}

DeviceContext::DeviceContext(const cairo_matrix_t &deviceToCanvas, const cairo_rectangle_int_t &bounds,
                             Point pixelsPerMm, bool advancedGraphics)
    : deviceToCanvas_(deviceToCanvas),
      bounds_(bounds),
      whole_(makeRegion(&bounds)),
      pixelsPerMm_(pixelsPerMm),
      advancedGraphics_(advancedGraphics) {
    state_.pen = std::get<std::shared_ptr<const Pen>>(*stockObject(7));
    state_.brush = std::get<std::shared_ptr<const Brush>>(*stockObject(0));
    state_.font = std::get<std::shared_ptr<const Font>>(*stockObject(13));
    state_.palette = std::get<std::shared_ptr<const Palette>>(*stockObject(15));
}

void DeviceContext::setMapMode(int mode) {
    if (mode < kMapText || mode > kMapAnisotropic) return;
    DcState &s = state_;
    const int previous = s.mapMode;
    s.mapMode = mode;
    // Logical units of the fixed modes, in millimetres; y grows upwards in all of them.
    double mm = 0;
    switch (mode) {
    case kMapLoMetric: mm = 0.1; break;
    case kMapHiMetric: mm = 0.01; break;
    case kMapLoEnglish: mm = 0.254; break;
    case kMapHiEnglish: mm = 0.0254; break;
    case kMapTwips: mm = 25.4 / 1440; break;
    default: break;
    }
    if (mode == kMapText) {
        s.windowExt = {1, 1};
        s.viewportExt = {1, 1};
    } else if (mm > 0) {
        s.windowExt = {1, 1};
        s.viewportExt = {mm * pixelsPerMm_.x, -mm * pixelsPerMm_.y};
    } else if (mode == kMapIsotropic && previous != kMapIsotropic) {
        fitIsotropic();
    }
    changed();
}

void DeviceContext::setWindowOrg(Point origin) {
    state_.windowOrg = origin;
    changed();
}

void DeviceContext::setWindowExt(Point extent) {
    if (state_.mapMode < kMapIsotropic || !usableExtent(extent)) return;
    state_.windowExt = extent;
    if (state_.mapMode == kMapIsotropic) fitIsotropic();
    changed();
}

void DeviceContext::setViewportOrg(Point origin) {
    state_.viewportOrg = origin;
    changed();
}

void DeviceContext::setViewportExt(Point extent) {
    if (state_.mapMode < kMapIsotropic || !usableExtent(extent)) return;
    state_.viewportExt = extent;
    if (state_.mapMode == kMapIsotropic) fitIsotropic();
    changed();
}

void DeviceContext::offsetWindowOrg(Point by) {
    setWindowOrg({state_.windowOrg.x + by.x, state_.windowOrg.y + by.y});
}

void DeviceContext::offsetViewportOrg(Point by) {
    setViewportOrg({state_.viewportOrg.x + by.x, state_.viewportOrg.y + by.y});
}

void DeviceContext::scaleWindowExt(double xNum, double xDenom, double yNum, double yDenom) {
    if (xDenom == 0 || yDenom == 0) return;
    setWindowExt({state_.windowExt.x * xNum / xDenom, state_.windowExt.y * yNum / yDenom});
}

void DeviceContext::scaleViewportExt(double xNum, double xDenom, double yNum, double yDenom) {
    if (xDenom == 0 || yDenom == 0) return;
    setViewportExt({state_.viewportExt.x * xNum / xDenom, state_.viewportExt.y * yNum / yDenom});
}

// In the isotropic mode one logical unit is as long across as down: the
// viewport's extent shrinks on the side that would stretch more.
void DeviceContext::fitIsotropic() {
    Point &w = state_.windowExt, &v = state_.viewportExt;
    const double xScale = std::fabs(v.x / w.x), yScale = std::fabs(v.y / w.y);
    if (xScale > yScale)
        v.x = std::copysign(yScale * std::fabs(w.x), v.x);
    else if (yScale > xScale)
        v.y = std::copysign(xScale * std::fabs(w.y), v.y);
}

void DeviceContext::setWorldTransform(const cairo_matrix_t &world) {
    if (!usableMatrix(world) || world.xx * world.yy - world.xy * world.yx == 0) return;
    state_.world = world;
    changed();
}

void DeviceContext::modifyWorldTransform(const cairo_matrix_t &by, std::uint32_t mode) {
    cairo_matrix_t result;
    switch (mode) {
    case 1: cairo_matrix_init_identity(&result); break;
    case 2: cairo_matrix_multiply(&result, &by, &state_.world); break;
    case 3: cairo_matrix_multiply(&result, &state_.world, &by); break;
    case 4: result = by; break;
    default: return;
    }
    setWorldTransform(result);
}

const cairo_matrix_t &DeviceContext::logicalToCanvas() const {
    if (!transformValid_) {
        const DcState &s = state_;
        const double sx = s.viewportExt.x / s.windowExt.x, sy = s.viewportExt.y / s.windowExt.y;
        const cairo_matrix_t page{sx, 0, 0, sy, s.viewportOrg.x - s.windowOrg.x * sx,
                                  s.viewportOrg.y - s.windowOrg.y * sy};
        cairo_matrix_t worldToDevice;
        cairo_matrix_multiply(&worldToDevice, &s.world, &page);
        cairo_matrix_multiply(&transform_, &worldToDevice, &deviceToCanvas_);
        transformValid_ = true;
    }
    return transform_;
}

Point DeviceContext::toCanvas(Point logical) const {
    double x = logical.x, y = logical.y;
    cairo_matrix_transform_point(&logicalToCanvas(), &x, &y);
    return {sane(x), sane(y)};
}

double DeviceContext::lengthAlongX(double logical) const {
    double x = logical, y = 0;
    cairo_matrix_transform_distance(&logicalToCanvas(), &x, &y);
    return sane(std::hypot(x, y));
}

double DeviceContext::lengthAlongY(double logical) const {
    double x = 0, y = logical;
    cairo_matrix_transform_distance(&logicalToCanvas(), &x, &y);
    return sane(std::hypot(x, y));
}

cairo_rectangle_int_t DeviceContext::canvasRect(const LogicalRect &rect) const {
    double left = kFarAway, top = kFarAway, right = -kFarAway, bottom = -kFarAway;
    for (Point corner : {Point{rect.left, rect.top}, Point{rect.right, rect.top}, Point{rect.left, rect.bottom},
                         Point{rect.right, rect.bottom}}) {
        const Point p = toCanvas(corner);
        left = std::min(left, p.x), right = std::max(right, p.x);
        top = std::min(top, p.y), bottom = std::max(bottom, p.y);
    }
    // Half up, as Windows rounds device coordinates.
    const auto round = [](double v) { return static_cast<int>(std::floor(v + 0.5)); };
    const int x = round(left), y = round(top);
    return {x, y, round(right) - x, round(bottom) - y};
}

bool DeviceContext::save() {
    if (saved_.size() >= kMaxSavedStates) return false;
    SavedState saved{state_, state_.pen, state_.brush, state_.font, state_.palette};
    saved.state.pen.reset(), saved.state.brush.reset(), saved.state.font.reset(), saved.state.palette.reset();
    saved_.push_back(std::move(saved));
    return true;
}

bool DeviceContext::restore(int level) {
    const auto depth = static_cast<long long>(saved_.size());
    const long long keep = level < 0 ? depth + level : static_cast<long long>(level) - 1;
    if (level == 0 || keep < 0 || keep >= depth) return false;
    SavedState &saved = saved_[static_cast<std::size_t>(keep)];
    const bool clipChanged = saved.state.clip != state_.clip;
    // An object deleted since the save is gone: the one in use stays.
    const auto restored = [](const auto &weak, const auto &current) {
        auto object = weak.lock();
        return object ? object : current;
    };
    DcState state = std::move(saved.state);
    state.pen = restored(saved.pen, state_.pen);
    state.brush = restored(saved.brush, state_.brush);
    state.font = restored(saved.font, state_.font);
    state.palette = restored(saved.palette, state_.palette);
    state_ = std::move(state);
    saved_.resize(static_cast<std::size_t>(keep));
    if (clipChanged) ++clipVersion_;
    changed();
    return true;
}

PixelRegion DeviceContext::writableClip() {
    if (!state_.clip || state_.clip.use_count() > 1) {
        // A copy costs by its size: saved states cannot hold regions without bound.
        budget_.spend(kRegionRectCost * static_cast<std::uint64_t>(cairo_region_num_rectangles(clipRegion())));
        state_.clip = PixelRegion(cairo_region_copy(clipRegion()), cairo_region_destroy);
    }
    ++clipVersion_;
    return state_.clip;
}

void DeviceContext::intersectClip(const LogicalRect &rect) {
    const cairo_rectangle_int_t pixels = canvasRect(rect);
    cairo_region_intersect_rectangle(writableClip().get(), &pixels);
}

void DeviceContext::excludeClip(const LogicalRect &rect) {
    const cairo_rectangle_int_t pixels = canvasRect(rect);
    cairo_region_subtract_rectangle(writableClip().get(), &pixels);
}

void DeviceContext::offsetClip(Point by) {
    if (!state_.clip) return;  // no clip region of its own: nothing to move
    double x = by.x, y = by.y;
    cairo_matrix_transform_distance(&logicalToCanvas(), &x, &y);
    PixelRegion region = writableClip();
    cairo_region_translate(region.get(), static_cast<int>(std::lround(sane(x))), static_cast<int>(std::lround(sane(y))));
    cairo_region_intersect(region.get(), whole_.get());
}

void DeviceContext::combineClip(const cairo_region_t *region, int mode) {
    if (mode == kRegionCopy) {
        ++clipVersion_;
        if (region == nullptr) {
            state_.clip.reset();
            return;
        }
        state_.clip = PixelRegion(cairo_region_copy(region), cairo_region_destroy);
        cairo_region_intersect(state_.clip.get(), whole_.get());
        return;
    }
    if (region == nullptr) return;
    PixelRegion clip = writableClip();
    switch (mode) {
    case kRegionAnd: cairo_region_intersect(clip.get(), region); break;
    case kRegionOr: cairo_region_union(clip.get(), region); break;
    case kRegionXor: cairo_region_xor(clip.get(), region); break;
    case kRegionDiff: cairo_region_subtract(clip.get(), region); break;
    default: return;
    }
    cairo_region_intersect(clip.get(), whole_.get());
}

}  // namespace ks318::port::gdi
