// The records of a Windows metafile. Their parameters come in reverse order of
// the call they record (y before x, bottom before top).
#include <vector>

#include "port/gdi/byte_reader.h"
#include "port/gdi/dib.h"
#include "port/gdi/metafile_player.h"
#include "port/gdi/painter.h"
#include "port/gdi/text_encoding.h"

namespace ks318::port::gdi {
namespace {


enum Function : std::uint16_t {
    kEof = 0x0000,
    kSaveDc = 0x001E,
    kRealizePalette = 0x0035,
    kSetPalEntries = 0x0037,
    kCreatePalette = 0x00F7,
    kSetBkMode = 0x0102,
    kSetMapMode = 0x0103,
    kSetRop2 = 0x0104,
    kSetPolyFillMode = 0x0106,
    kSetTextCharExtra = 0x0108,
    kRestoreDc = 0x0127,
    kInvertRegion = 0x012A,
    kPaintRegion = 0x012B,
    kSelectClipRegion = 0x012C,
    kSelectObject = 0x012D,
    kSetTextAlign = 0x012E,
    kDibCreatePatternBrush = 0x0142,
    kDeleteObject = 0x01F0,
    kCreatePatternBrush = 0x01F9,
    kSetBkColor = 0x0201,
    kSetTextColor = 0x0209,
    kSetWindowOrg = 0x020B,
    kSetWindowExt = 0x020C,
    kSetViewportOrg = 0x020D,
    kSetViewportExt = 0x020E,
    kOffsetWindowOrg = 0x020F,
    kOffsetViewportOrg = 0x0211,
    kLineTo = 0x0213,
    kMoveTo = 0x0214,
    kOffsetClipRgn = 0x0220,
    kFillRegion = 0x0228,
    kSelectPalette = 0x0234,
    kCreatePenIndirect = 0x02FA,
    kCreateFontIndirect = 0x02FB,
    kCreateBrushIndirect = 0x02FC,
    kPolygon = 0x0324,
    kPolyline = 0x0325,
    kScaleWindowExt = 0x0410,
    kScaleViewportExt = 0x0412,
    kExcludeClipRect = 0x0415,
    kIntersectClipRect = 0x0416,
    kEllipse = 0x0418,
    kRectangle = 0x041B,
    kSetPixel = 0x041F,
    kTextOut = 0x0521,
    kPolyPolygon = 0x0538,
    kRoundRect = 0x061C,
    kPatBlt = 0x061D,
    kCreateRegion = 0x06FF,
    kArc = 0x0817,
    kPie = 0x081A,
    kChord = 0x0830,
    kDibBitBlt = 0x0940,
    kExtTextOut = 0x0A32,
    kDibStretchBlt = 0x0B41,
    kSetDibToDev = 0x0D33,
    kStretchDib = 0x0F43,
};

// Bitmaps of a pattern brush larger than this many pixels are not kept (the
// brush paints its colour instead).

class WmfPlayer {
public:
    WmfPlayer(const WindowsMetafile &metafile, cairo_t *cr, DeviceContext &dc, bool measuring)
        : metafile_(metafile), dc_(dc), budget_(dc.budget()), painter_(cr, dc, measuring), table_(metafile.objects) {}

    bool play();
    cairo_rectangle_t ink() const { return painter_.ink(); }

private:
    void record(std::uint16_t function, ByteReader &in);
    Point point(ByteReader &in) {  // y, then x
        const double y = in.s16();
        return {static_cast<double>(in.s16()), y};
    }
    LogicalRect rect(ByteReader &in) {  // bottom, right, top, left
        LogicalRect r;
        r.bottom = in.s16(), r.right = in.s16(), r.top = in.s16(), r.left = in.s16();
        return r;
    }
    std::vector<Point> points(ByteReader &in, std::size_t count) {  // x, y each
        std::vector<Point> out;
        if (!in.has(count, 4)) return out;
        out.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const double x = in.s16();
            out.push_back({x, static_cast<double>(in.s16())});
        }
        return out;
    }
    Colour colour(ByteReader &in) { return colourFromReference(in.u32(), dc_.state().palette.get()); }
    void select(std::uint16_t index);
    void text(ByteReader &in, bool extended);
    void blit(std::uint16_t function, ByteReader &in);
    std::shared_ptr<const Region> region(ByteReader &in);
    const Region *regionAt(std::uint16_t index) {
        const GdiObject *object = table_.get(index);
        const auto *region = object != nullptr ? std::get_if<std::shared_ptr<const Region>>(object) : nullptr;
        return region != nullptr ? region->get() : nullptr;
    }

    const WindowsMetafile &metafile_;
    DeviceContext &dc_;
    WorkBudget &budget_;
    Painter painter_;
    ObjectTable table_;
};

bool WmfPlayer::play() {
    ByteReader file(metafile_.bytes);
    file.skip(kWindowsMetafileHeaderBytes);
    while (file.remaining() >= 6 && !budget_.exhausted()) {
        const std::uint32_t words = file.u32();
        const std::uint16_t function = file.u16();
        if (function == kEof || words < 3) break;
        ByteReader parameters = file.sub((static_cast<std::size_t>(words) - 3) * 2);
        if (!file.ok() || !budget_.spend(1)) break;
        record(function, parameters);
    }
    return !budget_.exhausted();
}

void WmfPlayer::select(std::uint16_t index) {
    const GdiObject *object = table_.get(index);
    if (object == nullptr) return;
    DcState &s = dc_.state();
    if (auto *pen = std::get_if<std::shared_ptr<const Pen>>(object)) s.pen = *pen;
    if (auto *brush = std::get_if<std::shared_ptr<const Brush>>(object)) s.brush = *brush;
    if (auto *font = std::get_if<std::shared_ptr<const Font>>(object)) s.font = *font;
    if (auto *palette = std::get_if<std::shared_ptr<const Palette>>(object)) s.palette = *palette;
    if (auto *region = std::get_if<std::shared_ptr<const Region>>(object))
        dc_.combineClip(painter_.regionPixels(**region).get(), kRegionCopy);
}

// A region: its header, then scans of rectangles (top, bottom, left-right pairs).
std::shared_ptr<const Region> WmfPlayer::region(ByteReader &in) {
    in.skip(10);
    const int scans = in.s16();
    in.skip(2);
    LogicalRect box;
    box.left = in.s16(), box.top = in.s16(), box.right = in.s16(), box.bottom = in.s16();
    auto out = std::make_shared<Region>();
    for (int i = 0; i < scans && in.ok(); ++i) {
        const std::uint16_t count = in.u16();
        const double top = in.s16(), bottom = in.s16();
        if (!in.has(count / 2 + 1, 4) || !budget_.spend(count / 2 + 1)) return nullptr;
        for (int k = 0; k < count / 2; ++k) {
            const double left = in.s16();
            out->rects.push_back({left, top, static_cast<double>(in.s16()), bottom});
        }
        in.u16();
    }
    if (scans == 0 && in.ok()) out->rects.push_back({box.left, box.top, box.right, box.bottom});
    if (!in.ok()) return nullptr;
    return out;
}

void WmfPlayer::text(ByteReader &in, bool extended) {
    TextRun run;
    std::int16_t count;
    if (extended) {
        run.reference = point(in);
        count = in.s16();
        run.options = in.u16();
        if (run.options & (kTextOpaque | kTextClipped)) {
            LogicalRect r;
            r.left = in.s16(), r.top = in.s16(), r.right = in.s16(), r.bottom = in.s16();
            run.rect = r;
        }
    } else {
        count = in.s16();
    }
    if (count <= 0 || !in.ok() || in.remaining() < static_cast<std::size_t>(count)) return;
    ByteReader characters = in.sub(static_cast<std::size_t>(count));
    in.skip(static_cast<std::size_t>(count) & 1);
    if (!extended) run.reference = point(in);
    if (!in.ok()) return;
    run.characters = decodeAnsi(characters.bytes(), dc_.state().font->charset);
    if (extended && in.has(static_cast<std::size_t>(count), 2)) {
        for (int i = 0; i < count; ++i) run.advances.push_back(in.s16());
    }
    painter_.text(run);
}

// The bitmap records: a DIB drawn with a raster operation, or, without one, the
// brush alone (the records' short form).
void WmfPlayer::blit(std::uint16_t function, ByteReader &in) {
    // The short form's size in words is the function's high byte (plus the record header).
    const bool withBitmap = (function != kDibBitBlt && function != kDibStretchBlt) ||
                            in.remaining() > static_cast<std::size_t>(function >> 8) * 2;
    std::uint32_t rop = 0x00CC0020;
    double srcX = 0, srcY = 0, srcW = 0, srcH = 0;
    LogicalRect dest;
    DibColours colours = DibColours::rgb;
    auto destination = [&](double w, double h) {
        const Point at = point(in);
        dest = {at.x, at.y, at.x + w, at.y + h};
    };
    if (function == kSetDibToDev) {
        colours = in.u16() == 1 ? DibColours::paletteIndices : DibColours::rgb;
        in.skip(4);  // scans
        srcY = in.s16(), srcX = in.s16();
        srcH = in.s16(), srcW = in.s16();
        destination(srcW, srcH);
    } else {
        rop = in.u32();
        if (function == kStretchDib) colours = in.u16() == 1 ? DibColours::paletteIndices : DibColours::rgb;
        if (function == kDibBitBlt) {
            srcY = in.s16(), srcX = in.s16();
            if (!withBitmap) in.skip(2);
            srcH = in.s16(), srcW = in.s16();
            destination(srcW, srcH);
        } else {
            srcH = in.s16(), srcW = in.s16(), srcY = in.s16(), srcX = in.s16();
            if (!withBitmap) in.skip(2);
            const double h = in.s16(), w = in.s16();
            destination(w, h);
        }
    }
    if (!in.ok()) return;
    if (!withBitmap) {
        painter_.patternBlit(dest, rop);
        return;
    }
    const std::optional<Bitmap> bitmap =
        readPackedDib(in.sub(in.remaining()), colours, dc_.state().palette.get(), budget_);
    if (!bitmap) return;
    painter_.bitmapBlit(*bitmap, srcX, srcY, srcW, srcH, dest, rop);
}

void WmfPlayer::record(std::uint16_t function, ByteReader &in) {
    DcState &s = dc_.state();
    switch (function) {
    case kSaveDc: dc_.save(); return;
    case kRestoreDc: dc_.restore(in.s16()); return;
    case kSetBkMode: s.backgroundMode = in.u16(); return;
    case kSetMapMode: dc_.setMapMode(in.u16()); return;
    case kSetRop2: s.rop2 = in.u16(); return;
    case kSetPolyFillMode: s.polyFillMode = in.u16(); return;
    case kSetTextAlign: s.textAlign = in.u16(); return;
    case kSetTextCharExtra: s.textCharExtra = in.s16(); return;
    case kSetBkColor: return ifRead(in, colour(in), [&](const Colour &c) { s.backgroundColour = c; });
    case kSetTextColor: return ifRead(in, colour(in), [&](const Colour &c) { s.textColour = c; });
    case kSetWindowOrg: return ifRead(in, point(in), [&](const Point &p) { dc_.setWindowOrg(p); });
    case kSetWindowExt: return ifRead(in, point(in), [&](const Point &p) { dc_.setWindowExt(p); });
    case kSetViewportOrg: return ifRead(in, point(in), [&](const Point &p) { dc_.setViewportOrg(p); });
    case kSetViewportExt: return ifRead(in, point(in), [&](const Point &p) { dc_.setViewportExt(p); });
    case kOffsetWindowOrg: return ifRead(in, point(in), [&](const Point &p) { dc_.offsetWindowOrg(p); });
    case kOffsetViewportOrg: return ifRead(in, point(in), [&](const Point &p) { dc_.offsetViewportOrg(p); });
    case kScaleWindowExt:
    case kScaleViewportExt: {
        const double yDenom = in.s16(), yNum = in.s16(), xDenom = in.s16(), xNum = in.s16();
        if (!in.ok()) return;
        if (function == kScaleWindowExt) dc_.scaleWindowExt(xNum, xDenom, yNum, yDenom);
        else dc_.scaleViewportExt(xNum, xDenom, yNum, yDenom);
        return;
    }
    case kMoveTo: return ifRead(in, point(in), [&](const Point &p) { painter_.moveTo(p); });
    case kLineTo: return ifRead(in, point(in), [&](const Point &p) { painter_.lineTo(p); });
    case kOffsetClipRgn: return ifRead(in, point(in), [&](const Point &p) { dc_.offsetClip(p); });
    case kExcludeClipRect: return ifRead(in, rect(in), [&](const LogicalRect &r) { dc_.excludeClip(r); });
    case kIntersectClipRect: return ifRead(in, rect(in), [&](const LogicalRect &r) { dc_.intersectClip(r); });
    case kEllipse: return ifRead(in, rect(in), [&](const LogicalRect &r) { painter_.ellipse(r); });
    case kRectangle: return ifRead(in, rect(in), [&](const LogicalRect &r) { painter_.rectangle(r); });
    case kRoundRect: {
        const double h = in.s16(), w = in.s16();
        const LogicalRect r = rect(in);
        if (in.ok()) painter_.roundRect(r, w, h);
        return;
    }
    case kArc:
    case kChord:
    case kPie: {
        const Point end = point(in), start = point(in);
        const LogicalRect r = rect(in);
        if (!in.ok()) return;
        painter_.arc(function == kArc ? ArcKind::arc : function == kChord ? ArcKind::chord : ArcKind::pie, r, start, end);
        return;
    }
    case kSetPixel: {
        const Colour c = colour(in);
        const Point p = point(in);
        if (in.ok()) painter_.setPixel(p, c);
        return;
    }
    case kPolygon:
    case kPolyline: {
        const int count = in.s16();
        if (count <= 0) return;
        const std::vector<Point> p = points(in, static_cast<std::size_t>(count));
        if (p.size() != static_cast<std::size_t>(count)) return;
        if (function == kPolygon) painter_.polygon(p);
        else painter_.polyline(p);
        return;
    }
    case kPolyPolygon: {
        const std::uint16_t polygons = in.u16();
        if (!in.has(polygons, 2)) return;
        std::vector<std::uint32_t> counts(polygons);
        std::size_t total = 0;
        for (auto &count : counts) total += count = in.u16();
        const std::vector<Point> p = points(in, total);
        if (p.size() == total) painter_.polyPolygon(p, counts);
        return;
    }
    case kTextOut: text(in, false); return;
    case kExtTextOut: text(in, true); return;
    case kPatBlt: {
        const std::uint32_t rop = in.u32();
        const double h = in.s16(), w = in.s16();
        const Point at = point(in);
        if (in.ok()) painter_.patternBlit({at.x, at.y, at.x + w, at.y + h}, rop);
        return;
    }
    case kDibBitBlt:
    case kDibStretchBlt:
    case kStretchDib:
    case kSetDibToDev: blit(function, in); return;

    case kSelectObject: select(in.u16()); return;
    case kSelectPalette: select(in.u16()); return;
    case kDeleteObject: table_.remove(in.u16()); return;
    case kSelectClipRegion: {
        const std::uint16_t index = in.u16();
        const Region *r = regionAt(index);
        dc_.combineClip(r != nullptr ? painter_.regionPixels(*r).get() : nullptr, kRegionCopy);
        return;
    }
    case kFillRegion:
    case kPaintRegion: {
        const Region *r = regionAt(in.u16());
        if (r == nullptr) return;
        if (function == kPaintRegion) return painter_.paintRegion(*r);
        const GdiObject *object = table_.get(in.u16());
        const auto *brush = object != nullptr ? std::get_if<std::shared_ptr<const Brush>>(object) : nullptr;
        if (brush != nullptr && in.ok()) painter_.fillRegion(*r, **brush);
        return;
    }
    case kCreatePenIndirect: {
        auto pen = std::make_shared<Pen>();
        pen->style = in.u16() & 0x0F;
        pen->width = in.s16();
        in.s16();
        pen->colour = colour(in);
        pen->cosmetic = pen->width <= 0;
        if (pen->style > kPenInsideFrame) pen->style = kPenSolid;
        if (in.ok()) table_.add(std::shared_ptr<const Pen>(std::move(pen)));
        return;
    }
    case kCreateBrushIndirect: {
        auto brush = std::make_shared<Brush>();
        brush->style = in.u16();
        brush->colour = colour(in);
        brush->hatch = in.u16();
        if (brush->style != kBrushNull && brush->style != kBrushHatched) brush->style = kBrushSolid;
        if (in.ok()) table_.add(std::shared_ptr<const Brush>(std::move(brush)));
        return;
    }
    case kCreateFontIndirect: {
        auto font = std::make_shared<Font>();
        font->height = in.s16();
        font->width = in.s16();
        font->escapement = in.s16();
        in.s16();  // orientation: Windows draws by the escapement
        font->weight = in.s16();
        font->italic = in.u8() != 0;
        font->underline = in.u8() != 0;
        font->strikeOut = in.u8() != 0;
        font->charset = in.u8();
        in.skip(4);
        if (!in.ok()) return;
        std::vector<std::uint8_t> face;
        while (in.remaining() > 0 && face.size() < 32) {
            const std::uint8_t c = in.u8();
            if (c == 0) break;
            face.push_back(c);
        }
        font->face = toUtf8(decodeAnsi(face, 0));
        table_.add(std::shared_ptr<const Font>(std::move(font)));
        return;
    }
    case kCreatePalette: {
        in.u16();
        const std::uint16_t count = in.u16();
        if (!in.has(count, 4) || !budget_.spend(count)) return;
        auto palette = std::make_shared<Palette>();
        for (int i = 0; i < count; ++i) {
            Colour c;
            c.red = in.u8(), c.green = in.u8(), c.blue = in.u8();
            in.u8();
            palette->entries.push_back(c);
        }
        table_.add(std::shared_ptr<const Palette>(std::move(palette)));
        return;
    }
    case kSetPalEntries: {
        const std::uint16_t start = in.u16(), count = in.u16();
        if (!in.has(count, 4) || !budget_.spend(count)) return;
        auto palette = std::make_shared<Palette>(*s.palette);
        for (int i = 0; i < count; ++i) {
            Colour c;
            c.red = in.u8(), c.green = in.u8(), c.blue = in.u8();
            in.u8();
            if (static_cast<std::size_t>(start + i) < palette->entries.size()) palette->entries[start + i] = c;
        }
        s.palette = std::move(palette);
        return;
    }
    case kCreateRegion: {
        if (auto r = region(in)) table_.add(std::move(r));
        else table_.add(std::make_shared<const Region>());  // keeps its slot, as Windows does
        return;
    }
    case kDibCreatePatternBrush:
    case kCreatePatternBrush: {
        auto brush = std::make_shared<Brush>();
        brush->style = kBrushDibPattern;
        brush->colour = {128, 128, 128};
        if (function == kDibCreatePatternBrush) {
            in.u16();
            const DibColours colours = in.u16() == 1 ? DibColours::paletteIndices : DibColours::rgb;
            ByteReader packed = in.sub(in.remaining());
            std::optional<Bitmap> bitmap = readPackedDib(packed, colours, s.palette.get(), budget_);
            if (bitmap && static_cast<std::int64_t>(bitmap->width) * bitmap->height <= kMaxPatternPixels &&
                budget_.spend(kPatternPixelCost * static_cast<std::uint64_t>(bitmap->width) * bitmap->height))
                brush->pattern = std::make_shared<const Bitmap>(std::move(*bitmap));
        }
        table_.add(std::shared_ptr<const Brush>(std::move(brush)));
        return;
    }
    default: return;  // not drawn here (palettes realized, escapes, flood fills, old bitmaps)
    }
}

}  // namespace

bool playWindowsMetafile(const WindowsMetafile &metafile, cairo_t *cr, DeviceContext &dc, cairo_rectangle_t *ink) {
    WmfPlayer player(metafile, cr, dc, ink != nullptr);
    const bool played = player.play();
    if (ink != nullptr) *ink = player.ink();
    return played;
}

}  // namespace ks318::port::gdi
