// The drawing state a metafile's records change, kept the way Windows keeps it
// in a device context: the mapping from logical units to the device (map mode,
// window and viewport origins and extents, the world transform of enhanced
// metafiles), the selected objects, colours and modes, the current position,
// the clip region, and a stack of saved states.
//
// "Device" here is the device the metafile was made for; `deviceToCanvas` maps
// it onto the pixels being drawn (the picture's place on the screen).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <cairo.h>

#include "port/gdi/gdi_objects.h"
#include "port/gdi/work_budget.h"

namespace ks318::port::gdi {

struct Point {
    double x = 0;
    double y = 0;
};

struct LogicalRect {
    double left = 0, top = 0, right = 0, bottom = 0;
};

enum MapMode : int {
    kMapText = 1,
    kMapLoMetric = 2,
    kMapHiMetric = 3,
    kMapLoEnglish = 4,
    kMapHiEnglish = 5,
    kMapTwips = 6,
    kMapIsotropic = 7,
    kMapAnisotropic = 8,
};

enum BackgroundMode : int { kTransparent = 1, kOpaque = 2 };

// How a new region combines with the clip region.
enum RegionMode : int { kRegionAnd = 1, kRegionOr = 2, kRegionXor = 3, kRegionDiff = 4, kRegionCopy = 5 };

// A region of whole pixels of the canvas.
using PixelRegion = std::shared_ptr<cairo_region_t>;
PixelRegion makeRegion(const cairo_rectangle_int_t *rect = nullptr);

struct DcState {
    int mapMode = kMapText;
    Point windowOrg{0, 0}, windowExt{1, 1};
    Point viewportOrg{0, 0}, viewportExt{1, 1};
    cairo_matrix_t world{1, 0, 0, 1, 0, 0};

    std::shared_ptr<const Pen> pen;
    std::shared_ptr<const Brush> brush;
    std::shared_ptr<const Font> font;
    std::shared_ptr<const Palette> palette;

    Colour textColour = kBlack;
    Colour backgroundColour = kWhite;
    int backgroundMode = kOpaque;
    int polyFillMode = 1;  // 1 alternate, 2 winding
    int rop2 = 13;         // copy pen
    std::uint32_t textAlign = 0;
    double textCharExtra = 0;
    bool arcClockwise = false;
    double miterLimit = 10;
    Point current;       // logical units
    PixelRegion clip;    // null: the whole of the picture's place
};

class DeviceContext {
public:
    // `bounds`: the canvas pixels the picture may draw on (its place, clipped to
    // the canvas). `pixelsPerMm`: the device's resolution, for the metric map modes.
    // `advancedGraphics`: Windows' advanced graphics mode, in which enhanced
    // metafiles are played (and a Windows metafile converted to one).
    DeviceContext(const cairo_matrix_t &deviceToCanvas, const cairo_rectangle_int_t &bounds, Point pixelsPerMm,
                  bool advancedGraphics = false);
    bool advancedGraphics() const { return advancedGraphics_; }

    DcState &state() { return state_; }
    // What the play may still spend (see work_budget.h).
    WorkBudget &budget() { return budget_; }
    const DcState &state() const { return state_; }
    const cairo_rectangle_int_t &bounds() const { return bounds_; }

    void setMapMode(int mode);
    void setWindowOrg(Point origin);
    void setWindowExt(Point extent);
    void setViewportOrg(Point origin);
    void setViewportExt(Point extent);
    void offsetWindowOrg(Point by);
    void offsetViewportOrg(Point by);
    void scaleWindowExt(double xNum, double xDenom, double yNum, double yDenom);
    void scaleViewportExt(double xNum, double xDenom, double yNum, double yDenom);
    void setWorldTransform(const cairo_matrix_t &world);
    // MODIFYWORLDTRANSFORM: 1 identity, 2 `by` then the current, 3 the current then `by`, 4 set.
    void modifyWorldTransform(const cairo_matrix_t &by, std::uint32_t mode);

    // Logical units to canvas pixels.
    const cairo_matrix_t &logicalToCanvas() const;
    Point toCanvas(Point logical) const;
    // True when logical x and y run along the canvas's axes (no turn or shear).
    bool axisAligned() const {
        const cairo_matrix_t &m = logicalToCanvas();
        return m.xy == 0 && m.yx == 0;
    }
    // A logical length along x, in canvas pixels (for pen widths and text heights).
    double lengthAlongX(double logical) const;
    double lengthAlongY(double logical) const;
    // The canvas pixels covered by a logical rectangle, right and bottom edges excluded.
    cairo_rectangle_int_t canvasRect(const LogicalRect &rect) const;
    // The device's own pixels to canvas pixels (for enhanced metafiles' region records).
    const cairo_matrix_t &deviceToCanvas() const { return deviceToCanvas_; }

    // SAVEDC and RESTOREDC: a negative level counts back from the newest saved
    // state, a positive one names it from the oldest (1). False, with nothing
    // changed, for a level that is not there. Saving fails past 1,024 states.
    bool save();
    bool restore(int level);

    void intersectClip(const LogicalRect &rect);
    void excludeClip(const LogicalRect &rect);
    void offsetClip(Point by);
    // Combines canvas pixels with the clip region; null with kRegionCopy resets it.
    void combineClip(const cairo_region_t *region, int mode);
    // The canvas pixels drawing may reach now.
    const cairo_region_t *clipRegion() const { return state_.clip ? state_.clip.get() : whole_.get(); }
    // Changes every time the clip region does: painters apply it again then.
    std::uint64_t clipVersion() const { return clipVersion_; }

private:
    void changed() { transformValid_ = false; }
    void fitIsotropic();
    PixelRegion writableClip();

    cairo_matrix_t deviceToCanvas_;
    cairo_rectangle_int_t bounds_;
    PixelRegion whole_;
    Point pixelsPerMm_;
    bool advancedGraphics_;
    WorkBudget budget_;
    // A saved state, its objects held weakly (see gdi_objects.h).
    struct SavedState {
        DcState state;
        std::weak_ptr<const Pen> pen;
        std::weak_ptr<const Brush> brush;
        std::weak_ptr<const Font> font;
        std::weak_ptr<const Palette> palette;
    };

    DcState state_;
    std::vector<SavedState> saved_;
    std::uint64_t clipVersion_ = 0;
    mutable cairo_matrix_t transform_{};
    mutable bool transformValid_ = false;
};

}  // namespace ks318::port::gdi
