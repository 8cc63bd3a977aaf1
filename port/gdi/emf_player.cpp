// The records of an enhanced metafile: a type and a size, then fields in the
// order of the call they record. Objects live in the slots the records name;
// the stock objects are named with the top bit set.
#include <algorithm>
#include <cmath>
#include <vector>

#include "port/gdi/byte_reader.h"
#include "port/gdi/dib.h"
#include "port/gdi/metafile_player.h"
#include "port/gdi/painter.h"
#include "port/gdi/text_encoding.h"

namespace ks318::port::gdi {
namespace {


enum Type : std::uint32_t {
    kHeader = 1,
    kPolyBezier = 2,
    kPolygon = 3,
    kPolyline = 4,
    kPolyBezierTo = 5,
    kPolylineTo = 6,
    kPolyPolyline = 7,
    kPolyPolygon = 8,
    kSetWindowExtEx = 9,
    kSetWindowOrgEx = 10,
    kSetViewportExtEx = 11,
    kSetViewportOrgEx = 12,
    kEof = 14,
    kSetPixelV = 15,
    kSetMapMode = 17,
    kSetBkMode = 18,
    kSetPolyFillMode = 19,
    kSetRop2 = 20,
    kSetTextAlign = 22,
    kSetTextColor = 24,
    kSetBkColor = 25,
    kOffsetClipRgn = 26,
    kMoveToEx = 27,
    kExcludeClipRect = 29,
    kIntersectClipRect = 30,
    kScaleViewportExtEx = 31,
    kScaleWindowExtEx = 32,
    kSaveDc = 33,
    kRestoreDc = 34,
    kSetWorldTransform = 35,
    kModifyWorldTransform = 36,
    kSelectObject = 37,
    kCreatePen = 38,
    kCreateBrushIndirect = 39,
    kDeleteObject = 40,
    kEllipse = 42,
    kRectangle = 43,
    kRoundRect = 44,
    kArc = 45,
    kChord = 46,
    kPie = 47,
    kSelectPalette = 48,
    kCreatePalette = 49,
    kLineTo = 54,
    kArcTo = 55,
    kSetArcDirection = 57,
    kSetMiterLimit = 58,
    kBeginPath = 59,
    kEndPath = 60,
    kCloseFigure = 61,
    kFillPath = 62,
    kStrokeAndFillPath = 63,
    kStrokePath = 64,
    kSelectClipPath = 67,
    kAbortPath = 68,
    kFillRgn = 71,
    kPaintRgn = 74,
    kExtSelectClipRgn = 75,
    kBitBlt = 76,
    kStretchBlt = 77,
    kSetDiBitsToDevice = 80,
    kStretchDiBits = 81,
    kExtCreateFontIndirectW = 82,
    kExtTextOutA = 83,
    kExtTextOutW = 84,
    kPolyBezier16 = 85,
    kPolygon16 = 86,
    kPolyline16 = 87,
    kPolyBezierTo16 = 88,
    kPolylineTo16 = 89,
    kPolyPolyline16 = 90,
    kPolyPolygon16 = 91,
    kCreateMonoBrush = 93,
    kCreateDibPatternBrushPt = 94,
    kExtCreatePen = 95,
};

constexpr std::uint32_t kStockBit = 0x80000000u;
class EmfPlayer {
public:
    EmfPlayer(const EnhancedMetafile &metafile, cairo_t *cr, DeviceContext &dc, bool measuring)
        : metafile_(metafile), dc_(dc), budget_(dc.budget()), painter_(cr, dc, measuring), table_(metafile.handles) {}

    bool play();
    cairo_rectangle_t ink() const { return painter_.ink(); }

private:
    void record(std::uint32_t type, ByteReader &in);
    Point point32(ByteReader &in) {
        const double x = in.s32();
        return {x, static_cast<double>(in.s32())};
    }
    LogicalRect rect32(ByteReader &in) {
        LogicalRect r;
        r.left = in.s32(), r.top = in.s32(), r.right = in.s32(), r.bottom = in.s32();
        return r;
    }
    std::vector<Point> points(ByteReader &in, std::uint32_t count, bool small) {
        std::vector<Point> out;
        if (!in.has(count, small ? 4 : 8) || !budget_.spend(count)) return out;
        out.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const double x = small ? in.s16() : in.s32();
            out.push_back({x, static_cast<double>(small ? in.s16() : in.s32())});
        }
        return out;
    }
    cairo_matrix_t transform(ByteReader &in) {
        cairo_matrix_t m;
        m.xx = in.f32(), m.yx = in.f32(), m.xy = in.f32(), m.yy = in.f32(), m.x0 = in.f32(), m.y0 = in.f32();
        return m;
    }
    Colour colour(ByteReader &in) { return colourFromReference(in.u32(), dc_.state().palette.get()); }
    void poly(std::uint32_t type, ByteReader &in);
    void polyPoly(std::uint32_t type, ByteReader &in);
    void select(std::uint32_t index);
    void text(std::uint32_t type, ByteReader &in);
    void blit(std::uint32_t type, ByteReader &in);
    std::optional<Bitmap> bitmap(ByteReader &record, std::uint32_t usage, std::uint32_t offBmi, std::uint32_t cbBmi,
                                 std::uint32_t offBits, std::uint32_t cbBits) {
        return readDib(record.slice(offBmi, cbBmi), record.slice(offBits, cbBits),
                       usage == 1 ? DibColours::paletteIndices : DibColours::rgb, dc_.state().palette.get(), budget_);
    }
    PixelRegion regionData(ByteReader &in, std::uint32_t bytes);
    std::shared_ptr<const Brush> brushAt(std::uint32_t index) {
        const GdiObject *object = table_.get(index);
        const auto *brush = object != nullptr ? std::get_if<std::shared_ptr<const Brush>>(object) : nullptr;
        return brush != nullptr ? *brush : nullptr;
    }

    const EnhancedMetafile &metafile_;
    DeviceContext &dc_;
    WorkBudget &budget_;
    Painter painter_;
    ObjectTable table_;
};

bool EmfPlayer::play() {
    ByteReader file(metafile_.bytes);
    while (file.remaining() >= 8 && !budget_.exhausted()) {
        const std::size_t start = file.position();
        const std::uint32_t type = file.u32(), size = file.u32();
        if (type == kEof || size < 8) break;
        file.seek(start);
        ByteReader whole = file.sub(size);
        if (!file.ok() || !budget_.spend(1)) break;
        whole.skip(8);
        record(type, whole);
    }
    return !budget_.exhausted();
}

void EmfPlayer::select(std::uint32_t index) {
    std::optional<GdiObject> stock;
    const GdiObject *object;
    if (index & kStockBit) {
        stock = stockObject(index & ~kStockBit);
        object = stock ? &*stock : nullptr;
    } else {
        object = table_.get(index);
    }
    if (object == nullptr) return;
    DcState &s = dc_.state();
    if (auto *pen = std::get_if<std::shared_ptr<const Pen>>(object)) s.pen = *pen;
    if (auto *brush = std::get_if<std::shared_ptr<const Brush>>(object)) s.brush = *brush;
    if (auto *font = std::get_if<std::shared_ptr<const Font>>(object)) s.font = *font;
    if (auto *palette = std::get_if<std::shared_ptr<const Palette>>(object)) s.palette = *palette;
}

void EmfPlayer::poly(std::uint32_t type, ByteReader &in) {
    in.skip(16);  // bounds
    const std::uint32_t count = in.u32();
    const bool small = type >= kPolyBezier16;
    const std::vector<Point> p = points(in, count, small);
    if (p.size() != count || count == 0) return;
    switch (small ? type - (kPolyBezier16 - kPolyBezier) : type) {
    case kPolyBezier: painter_.polyBezier(p); break;
    case kPolygon: painter_.polygon(p); break;
    case kPolyline: painter_.polyline(p); break;
    case kPolyBezierTo: painter_.polyBezierTo(p); break;
    case kPolylineTo: painter_.polylineTo(p); break;
    default: break;
    }
}

void EmfPlayer::polyPoly(std::uint32_t type, ByteReader &in) {
    in.skip(16);
    const std::uint32_t figures = in.u32(), total = in.u32();
    if (!in.has(figures, 4) || !budget_.spend(figures)) return;
    std::vector<std::uint32_t> counts(figures);
    std::uint64_t sum = 0;
    for (auto &count : counts) sum += count = in.u32();
    if (sum != total) return;
    const std::vector<Point> p = points(in, total, type >= kPolyBezier16);
    if (p.size() != total) return;
    if (type == kPolyPolygon || type == kPolyPolygon16) painter_.polyPolygon(p, counts);
    else painter_.polyPolyline(p, counts);
}

// Region data: a 32-byte header (its count of rectangles at 8), the rectangles
// in the reference device's pixels.
PixelRegion EmfPlayer::regionData(ByteReader &in, std::uint32_t bytes) {
    ByteReader data = in.sub(bytes);
    data.skip(8);
    const std::uint32_t count = data.u32();
    data.skip(20);
    if (!data.has(count, 16) || !budget_.spend(count)) return nullptr;
    PixelRegion pixels = makeRegion();
    const cairo_matrix_t &toCanvas = dc_.deviceToCanvas();
    for (std::uint32_t i = 0; i < count; ++i) {
        double left = data.s32(), top = data.s32(), right = data.s32(), bottom = data.s32();
        cairo_matrix_transform_point(&toCanvas, &left, &top);
        cairo_matrix_transform_point(&toCanvas, &right, &bottom);
        const auto x0 = std::lround(std::clamp(std::min(left, right), -1e7, 1e7));
        const auto y0 = std::lround(std::clamp(std::min(top, bottom), -1e7, 1e7));
        const auto x1 = std::lround(std::clamp(std::max(left, right), -1e7, 1e7));
        const auto y1 = std::lround(std::clamp(std::max(top, bottom), -1e7, 1e7));
        const cairo_rectangle_int_t r{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
                                      static_cast<int>(y1 - y0)};
        cairo_region_union_rectangle(pixels.get(), &r);
    }
    return data.ok() ? pixels : nullptr;
}

void EmfPlayer::text(std::uint32_t type, ByteReader &in) {
    const ByteReader record(in.bytes());
    in.skip(16 + 12);  // bounds, graphics mode, scales
    TextRun run;
    run.reference = point32(in);
    const std::uint32_t count = in.u32(), offString = in.u32();
    run.options = in.u32();
    const LogicalRect r = rect32(in);
    const std::uint32_t offDx = in.u32();
    if (!in.ok() || count == 0 || count > record.bytes().size()) return;
    if (run.options & (kTextOpaque | kTextClipped)) run.rect = r;
    const bool wide = type == kExtTextOutW;
    ByteReader characters = record.slice(offString, static_cast<std::size_t>(count) * (wide ? 2 : 1));
    if (!characters.ok()) return;
    run.characters = wide ? decodeUtf16(characters.bytes()) : decodeAnsi(characters.bytes(), dc_.state().font->charset);
    // Advances: one per character, or (ETO_PDY) an x and a y for each.
    const std::size_t step = (run.options & 0x2000) ? 8 : 4;
    ByteReader dx = record.slice(offDx, static_cast<std::size_t>(count) * step);
    if (offDx != 0 && dx.ok() && run.characters.size() == count)
        for (std::uint32_t i = 0; i < count; ++i) {
            run.advances.push_back(dx.s32());
            if (step == 8) dx.s32();
        }
    painter_.text(run);
}

void EmfPlayer::blit(std::uint32_t type, ByteReader &in) {
    const ByteReader record(in.bytes());
    in.skip(16);
    LogicalRect dest;
    double srcX = 0, srcY = 0, srcW = 0, srcH = 0;
    std::uint32_t rop = 0x00CC0020, usage = 0, offBmi = 0, cbBmi = 0, offBits = 0, cbBits = 0;
    if (type == kBitBlt || type == kStretchBlt) {
        const Point at = point32(in);
        const double w = in.s32(), h = in.s32();
        dest = {at.x, at.y, at.x + w, at.y + h};
        rop = in.u32();
        srcX = in.s32(), srcY = in.s32();
        in.skip(24 + 4);  // the source's transform and background colour
        usage = in.u32(), offBmi = in.u32(), cbBmi = in.u32(), offBits = in.u32(), cbBits = in.u32();
        srcW = w, srcH = h;
        if (type == kStretchBlt) srcW = in.s32(), srcH = in.s32();
    } else {
        const Point at = point32(in);
        srcX = in.s32(), srcY = in.s32(), srcW = in.s32(), srcH = in.s32();
        offBmi = in.u32(), cbBmi = in.u32(), offBits = in.u32(), cbBits = in.u32(), usage = in.u32();
        double w = srcW, h = srcH;
        if (type == kStretchDiBits) {
            rop = in.u32();
            w = in.s32(), h = in.s32();
        }
        dest = {at.x, at.y, at.x + w, at.y + h};
    }
    if (!in.ok()) return;
    if (cbBmi == 0) {  // no source: the brush alone
        painter_.patternBlit(dest, rop);
        return;
    }
    const std::optional<Bitmap> source = bitmap(in, usage, offBmi, cbBmi, offBits, cbBits);
    if (source) painter_.bitmapBlit(*source, srcX, srcY, srcW, srcH, dest, rop);
}

void EmfPlayer::record(std::uint32_t type, ByteReader &in) {
    DcState &s = dc_.state();
    switch (type) {
    case kPolyBezier:
    case kPolygon:
    case kPolyline:
    case kPolyBezierTo:
    case kPolylineTo:
    case kPolyBezier16:
    case kPolygon16:
    case kPolyline16:
    case kPolyBezierTo16:
    case kPolylineTo16: poly(type, in); return;
    case kPolyPolyline:
    case kPolyPolygon:
    case kPolyPolyline16:
    case kPolyPolygon16: polyPoly(type, in); return;
    case kSetWindowExtEx:
    case kSetWindowOrgEx:
    case kSetViewportExtEx:
    case kSetViewportOrgEx: {
        const Point p = point32(in);
        if (!in.ok()) return;
        if (type == kSetWindowExtEx) dc_.setWindowExt(p);
        if (type == kSetWindowOrgEx) dc_.setWindowOrg(p);
        if (type == kSetViewportExtEx) dc_.setViewportExt(p);
        if (type == kSetViewportOrgEx) dc_.setViewportOrg(p);
        return;
    }
    case kSetPixelV: {
        const Point p = point32(in);
        const Colour c = colour(in);
        if (in.ok()) painter_.setPixel(p, c);
        return;
    }
    case kSetMapMode: dc_.setMapMode(static_cast<int>(in.u32())); return;
    case kSetBkMode: s.backgroundMode = static_cast<int>(in.u32()); return;
    case kSetPolyFillMode: s.polyFillMode = static_cast<int>(in.u32()); return;
    case kSetRop2: s.rop2 = static_cast<int>(in.u32()); return;
    case kSetTextAlign: s.textAlign = in.u32(); return;
    case kSetTextColor:
    case kSetBkColor: {
        const Colour c = colour(in);
        if (!in.ok()) return;
        (type == kSetTextColor ? s.textColour : s.backgroundColour) = c;
        return;
    }
    case kOffsetClipRgn: return ifRead(in, point32(in), [&](const Point &p) { dc_.offsetClip(p); });
    case kMoveToEx: return ifRead(in, point32(in), [&](const Point &p) { painter_.moveTo(p); });
    case kLineTo: return ifRead(in, point32(in), [&](const Point &p) { painter_.lineTo(p); });
    case kExcludeClipRect: return ifRead(in, rect32(in), [&](const LogicalRect &r) { dc_.excludeClip(r); });
    case kIntersectClipRect: return ifRead(in, rect32(in), [&](const LogicalRect &r) { dc_.intersectClip(r); });
    case kScaleViewportExtEx:
    case kScaleWindowExtEx: {
        const double xNum = in.s32(), xDenom = in.s32(), yNum = in.s32(), yDenom = in.s32();
        if (!in.ok()) return;
        if (type == kScaleWindowExtEx) dc_.scaleWindowExt(xNum, xDenom, yNum, yDenom);
        else dc_.scaleViewportExt(xNum, xDenom, yNum, yDenom);
        return;
    }
    case kSaveDc: dc_.save(); return;
    case kRestoreDc: dc_.restore(in.s32()); return;
    case kSetWorldTransform: return ifRead(in, transform(in), [&](const cairo_matrix_t &m) { dc_.setWorldTransform(m); });
    case kModifyWorldTransform: {
        const cairo_matrix_t m = transform(in);
        const std::uint32_t mode = in.u32();
        if (in.ok()) dc_.modifyWorldTransform(m, mode);
        return;
    }
    case kSelectObject:
    case kSelectPalette: select(in.u32()); return;
    case kDeleteObject: table_.remove(in.u32()); return;
    case kCreatePen: {
        const std::uint32_t index = in.u32();
        auto pen = std::make_shared<Pen>();
        pen->style = in.u32() & 0x0F;
        pen->width = in.s32();
        in.s32();
        pen->colour = colour(in);
        pen->cosmetic = pen->width <= 0;
        if (pen->style > kPenInsideFrame) pen->style = kPenSolid;
        if (in.ok() && index != 0) table_.put(index, std::shared_ptr<const Pen>(std::move(pen)));
        return;
    }
    case kExtCreatePen: {
        const std::uint32_t index = in.u32();
        in.skip(16);  // a pattern's bitmap: drawn with the colour instead
        const std::uint32_t style = in.u32(), width = in.u32(), brushStyle = in.u32();
        auto pen = std::make_shared<Pen>();
        pen->colour = colour(in);
        in.u32();
        const std::uint32_t entries = in.u32();
        if (!in.ok() || index == 0) return;
        pen->style = style & 0x0F;
        pen->cosmetic = (style & 0x00010000u) == 0;  // PS_GEOMETRIC
        pen->styledWhenWide = !pen->cosmetic;
        pen->width = pen->cosmetic ? 0 : width;
        pen->endCap = (style >> 8) & 0x0F;
        pen->join = (style >> 12) & 0x0F;
        if (brushStyle == kBrushNull) pen->style = kPenNull;
        if (pen->style == kPenUserStyle && in.has(entries, 4) && entries <= 16)
            for (std::uint32_t i = 0; i < entries; ++i) pen->userDashes.push_back(in.u32());
        if (pen->style > kPenAlternate) pen->style = kPenSolid;
        table_.put(index, std::shared_ptr<const Pen>(std::move(pen)));
        return;
    }
    case kCreateBrushIndirect: {
        const std::uint32_t index = in.u32();
        auto brush = std::make_shared<Brush>();
        brush->style = in.u32();
        brush->colour = colour(in);
        brush->hatch = in.u32();
        if (brush->style != kBrushNull && brush->style != kBrushHatched) brush->style = kBrushSolid;
        if (in.ok() && index != 0) table_.put(index, std::shared_ptr<const Brush>(std::move(brush)));
        return;
    }
    case kCreateMonoBrush:
    case kCreateDibPatternBrushPt: {
        const std::uint32_t index = in.u32(), usage = in.u32();
        const std::uint32_t offBmi = in.u32(), cbBmi = in.u32(), offBits = in.u32(), cbBits = in.u32();
        if (!in.ok() || index == 0) return;
        auto brush = std::make_shared<Brush>();
        brush->style = kBrushDibPattern;
        brush->colour = {128, 128, 128};
        const ByteReader record(in.bytes());
        ByteReader whole = record;
        std::optional<Bitmap> pattern = bitmap(whole, type == kCreateMonoBrush ? 0 : usage, offBmi, cbBmi, offBits, cbBits);
        if (pattern && static_cast<std::int64_t>(pattern->width) * pattern->height <= kMaxPatternPixels &&
            budget_.spend(kPatternPixelCost * static_cast<std::uint64_t>(pattern->width) * pattern->height))
            brush->pattern = std::make_shared<const Bitmap>(std::move(*pattern));
        table_.put(index, std::shared_ptr<const Brush>(std::move(brush)));
        return;
    }
    case kExtCreateFontIndirectW: {
        const std::uint32_t index = in.u32();
        auto font = std::make_shared<Font>();
        font->height = in.s32();
        font->width = in.s32();
        font->escapement = in.s32();
        in.s32();
        font->weight = in.s32();
        font->italic = in.u8() != 0;
        font->underline = in.u8() != 0;
        font->strikeOut = in.u8() != 0;
        font->charset = in.u8();
        in.skip(4);
        ByteReader face = in.sub(64);
        if (!in.ok() || index == 0) return;
        std::u32string name = decodeUtf16(face.bytes());
        if (const auto end = name.find(U'\0'); end != std::u32string::npos) name.resize(end);
        font->face = toUtf8(name);
        table_.put(index, std::shared_ptr<const Font>(std::move(font)));
        return;
    }
    case kCreatePalette: {
        const std::uint32_t index = in.u32();
        in.u16();
        const std::uint16_t count = in.u16();
        if (!in.has(count, 4) || !budget_.spend(count) || index == 0) return;
        auto palette = std::make_shared<Palette>();
        for (int i = 0; i < count; ++i) {
            Colour c;
            c.red = in.u8(), c.green = in.u8(), c.blue = in.u8();
            in.u8();
            palette->entries.push_back(c);
        }
        table_.put(index, std::shared_ptr<const Palette>(std::move(palette)));
        return;
    }
    case kEllipse: return ifRead(in, rect32(in), [&](const LogicalRect &r) { painter_.ellipse(r); });
    case kRectangle: return ifRead(in, rect32(in), [&](const LogicalRect &r) { painter_.rectangle(r); });
    case kRoundRect: {
        const LogicalRect r = rect32(in);
        const Point corner = point32(in);
        if (in.ok()) painter_.roundRect(r, corner.x, corner.y);
        return;
    }
    case kArc:
    case kChord:
    case kPie:
    case kArcTo: {
        const LogicalRect r = rect32(in);
        const Point start = point32(in), end = point32(in);
        if (!in.ok()) return;
        const ArcKind kind = type == kArc ? ArcKind::arc
                             : type == kChord ? ArcKind::chord
                             : type == kPie ? ArcKind::pie
                                            : ArcKind::arcTo;
        painter_.arc(kind, r, start, end);
        return;
    }
    case kSetArcDirection: s.arcClockwise = in.u32() == 2; return;
    case kSetMiterLimit: {
        const std::uint32_t limit = in.u32();
        if (in.ok()) s.miterLimit = limit;
        return;
    }
    case kBeginPath: painter_.beginPath(); return;
    case kEndPath: painter_.endPath(); return;
    case kCloseFigure: painter_.closeFigure(); return;
    case kFillPath: painter_.fillPath(); return;
    case kStrokeAndFillPath: painter_.strokeAndFillPath(); return;
    case kStrokePath: painter_.strokePath(); return;
    case kAbortPath: painter_.abortPath(); return;
    case kSelectClipPath: painter_.selectClipPath(static_cast<int>(in.u32())); return;
    case kExtSelectClipRgn: {
        const std::uint32_t bytes = in.u32(), mode = in.u32();
        if (!in.ok()) return;
        if (bytes == 0) {
            if (mode == kRegionCopy) dc_.combineClip(nullptr, kRegionCopy);
            return;
        }
        if (PixelRegion region = regionData(in, bytes)) dc_.combineClip(region.get(), static_cast<int>(mode));
        return;
    }
    case kFillRgn:
    case kPaintRgn: {
        in.skip(16);
        const std::uint32_t bytes = in.u32();
        std::shared_ptr<const Brush> brush = s.brush;
        if (type == kFillRgn) brush = brushAt(in.u32());
        PixelRegion region = in.ok() && brush ? regionData(in, bytes) : nullptr;
        if (!region || !dc_.save()) return;
        dc_.combineClip(region.get(), kRegionAnd);
        dc_.state().brush = brush;
        const cairo_rectangle_int_t b = dc_.bounds();
        // The region, filled: the clip does the shaping.
        cairo_matrix_t back = dc_.logicalToCanvas();
        if (cairo_matrix_invert(&back) == CAIRO_STATUS_SUCCESS) {
            double x0 = b.x, y0 = b.y, x1 = static_cast<double>(b.x) + b.width, y1 = static_cast<double>(b.y) + b.height;
            cairo_matrix_transform_point(&back, &x0, &y0);
            cairo_matrix_transform_point(&back, &x1, &y1);
            painter_.patternBlit({x0, y0, x1, y1}, 0x00F00021);
        }
        dc_.restore(-1);
        return;
    }
    case kBitBlt:
    case kStretchBlt:
    case kSetDiBitsToDevice:
    case kStretchDiBits: blit(type, in); return;
    case kExtTextOutA:
    case kExtTextOutW: text(type, in); return;
    default: return;  // comments, colour management, layout and the like: nothing to draw
    }
}

}  // namespace

Point devicePixelsPerMm(const EnhancedMetafile &m) {
    constexpr double kScreen = 96 / 25.4;  // a header without a usable device: a 96 dpi screen
    const bool usable = m.devicePixelsX > 0 && m.devicePixelsY > 0 && m.deviceMmX > 0 && m.deviceMmY > 0;
    if (!usable) return {kScreen, kScreen};
    return {static_cast<double>(m.devicePixelsX) / m.deviceMmX, static_cast<double>(m.devicePixelsY) / m.deviceMmY};
}

bool playEnhancedMetafile(const EnhancedMetafile &metafile, cairo_t *cr, DeviceContext &dc, cairo_rectangle_t *ink) {
    EmfPlayer player(metafile, cr, dc, ink != nullptr);
    const bool played = player.play();
    if (ink != nullptr) *ink = player.ink();
    return played;
}

}  // namespace ks318::port::gdi
