#include "port/gdi/record_checks.h"

#include <algorithm>
#include <limits>

#include "ks318.h"

namespace ks318::port::gdi {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint64_t kMaxBitmapPixels = KQ_PICTURE_MAX_PIXELS;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

std::uint32_t u32(Bytes b, std::size_t at) {
    if (at > b.size() || b.size() - at < 4) return 0;
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t u16(Bytes b, std::size_t at) {
    if (at > b.size() || b.size() - at < 2) return 0;
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
// `count` items of `size` bytes from `at` lie inside `b`.
bool inside(Bytes b, std::uint64_t at, std::uint64_t count, std::uint64_t size) {
    return at <= b.size() && (size == 0 || count <= (b.size() - at) / size);
}

// --- Device-independent bitmaps ---------------------------------------------

// The bytes a bitmap needs besides its header: its colour table, and its rows
// (the first `scans` rows when fewer are drawn). Nothing when the header is
// not one GDI reads safely, or the bitmap is over the picture pixel limit.
struct DibNeeds {
    std::uint64_t header = 0, table = 0, rows = 0;
};

bool dibNeeds(Bytes info, std::uint32_t usage, std::uint64_t scans, DibNeeds &needs) {
    const std::uint32_t headerSize = u32(info, 0);
    std::int64_t width = 0, height = 0;
    std::uint32_t bits = 0, compression = 0, imageSize = 0, used = 0;
    std::uint64_t entry = usage == 1 ? 2 : 4;  // palette indices, or RGBQUADs
    if (headerSize == 12) {
        width = u16(info, 4), height = u16(info, 6), bits = u16(info, 10);
        if (usage != 1) entry = 3;
    } else if (headerSize >= 40) {
        width = static_cast<std::int32_t>(u32(info, 4)), height = static_cast<std::int32_t>(u32(info, 8));
        bits = u16(info, 14), compression = u32(info, 16), imageSize = u32(info, 20), used = u32(info, 32);
    } else {
        return false;
    }
    if (headerSize > info.size() || width < 0 || height == std::numeric_limits<std::int32_t>::min()) return false;
    const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
    if (rows * static_cast<std::uint64_t>(width) > kMaxBitmapPixels) return false;
    needs.header = headerSize;
    if (bits <= 8) {
        if (bits != 1 && bits != 4 && bits != 8 && !(bits == 0 && (compression == 4 || compression == 5)))
            return false;
        needs.table = entry * (used != 0 ? used : (bits == 0 ? 0 : 1u << bits));
        if (used > (bits == 0 ? 0 : 1u << bits)) return false;
    } else {
        if (bits != 16 && bits != 24 && bits != 32) return false;
        if (used > 65536) return false;
        needs.table = entry * used;
    }
    switch (compression) {
    case 0:  // rows as they are
    case 3:  // bit fields
    case 6: {
        if (compression == 3 && headerSize == 40) needs.table += 12;
        if (compression == 6 && headerSize == 40) needs.table += 16;
        if (compression != 0 && bits != 16 && bits != 32) return false;
        const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
        needs.rows = stride * std::min(rows, scans);
        return true;
    }
    case 1:  // run lengths, 8 or 4 bits, upwards only; GDI reads as many bytes as the header says
    case 2:
        if (bits != (compression == 1 ? 8u : 4u) || height < 0) return false;
        needs.rows = imageSize;
        return true;
    case 4:  // JPEG, PNG: the same
    case 5:
        needs.rows = imageSize;
        return true;
    default: return false;
    }
}

// A bitmap whose header and table are `info` and rows `rows`.
bool dibFits(Bytes info, Bytes rows, std::uint32_t usage, std::uint64_t scans = kNoLimit) {
    DibNeeds needs;
    return dibNeeds(info, usage, scans, needs) && needs.header + needs.table <= info.size() && needs.rows <= rows.size();
}

// A bitmap packed in one piece: header, table, rows (Windows metafiles).
bool packedDibFits(Bytes dib, std::uint32_t usage, std::uint64_t scans = kNoLimit) {
    DibNeeds needs;
    if (!dibNeeds(dib, usage, scans, needs) || needs.header + needs.table > dib.size()) return false;
    return needs.rows <= dib.size() - needs.header - needs.table;
}

// An enhanced metafile's bitmap, by its offsets and sizes from the record's start.
bool dibAt(Bytes r, std::size_t fields, std::uint32_t usage, std::uint64_t scans = kNoLimit) {
    const std::uint32_t offInfo = u32(r, fields), infoSize = u32(r, fields + 4);
    const std::uint32_t offBits = u32(r, fields + 8), bitsSize = u32(r, fields + 12);
    if (!inside(r, offInfo, infoSize, 1) || !inside(r, offBits, bitsSize, 1)) return false;
    return dibFits(r.subspan(offInfo, infoSize), r.subspan(offBits, bitsSize), usage, scans);
}
// The same for a source bitmap GDI reads only when its offset is set.
bool optionalDibAt(Bytes r, std::size_t fields, std::uint32_t usage) {
    return u32(r, fields) == 0 || dibAt(r, fields, usage);
}

// A 16-bit device-dependent bitmap (old BITBLT and pattern brush records):
// type, width, height, bytes a row, planes, bits a pixel, then `gap` bytes and
// the rows. One plane of a usual depth only; rows at least as long as the
// width asks for, since GDI goes by the width.
bool bitmap16Fits(Bytes r, std::size_t at, std::size_t gap) {
    const std::uint64_t width = u16(r, at + 2), height = u16(r, at + 4), rowBytes = u16(r, at + 6);
    const std::uint32_t planes = at + 9 < r.size() ? r[at + 8] : 0, bits = at + 9 < r.size() ? r[at + 9] : 0;
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) return false;
    if (width * height > kMaxBitmapPixels) return false;
    const std::uint64_t stride = std::max(rowBytes, (width * bits + 15) / 16 * 2);
    return inside(r, at + 10 + gap, height, stride == 0 ? 1 : stride);
}

// Only brushes GDI makes from their fields alone: solid, hollow, hatched. The
// others name a bitmap by handle or address, which no file can give.
bool plainBrushStyle(std::uint32_t style) { return style <= 2; }

// A region's data (RGNDATA): a 32-byte header and its rectangles.
bool regionDataFits(Bytes r, std::uint64_t at, std::uint64_t size) {
    if (!inside(r, at, size, 1)) return false;
    if (size == 0) return true;
    const Bytes data = r.subspan(at, size);
    const std::uint32_t header = u32(data, 0), count = u32(data, 8);
    return header >= 32 && inside(data, header, count, 16);
}

// --- Windows metafiles --------------------------------------------------------

// Records by function number and the least bytes (with the 6-byte record
// header) their fixed fields take.
struct MinimumSize {
    std::uint16_t function;
    std::uint16_t bytes;
};
constexpr MinimumSize kWindowsMinimum[] = {
    {0x0102, 8},  {0x0103, 8},  {0x0104, 8},  {0x0106, 8},  {0x0107, 8},  {0x0108, 8},  {0x0201, 10}, {0x0209, 10},
    {0x020A, 10}, {0x020B, 10}, {0x020C, 10}, {0x020D, 10}, {0x020E, 10}, {0x020F, 10}, {0x0211, 10}, {0x0410, 14},
    {0x0412, 14}, {0x0213, 10}, {0x0214, 10}, {0x0415, 14}, {0x0416, 14}, {0x0817, 22}, {0x0418, 14}, {0x0419, 14},
    {0x081A, 22}, {0x041B, 14}, {0x061C, 18}, {0x061D, 18}, {0x041F, 14}, {0x0220, 10}, {0x0830, 22}, {0x0231, 10},
    {0x012D, 8},  {0x012E, 8},  {0x0127, 8},  {0x0228, 10}, {0x0429, 14}, {0x012A, 8},  {0x012B, 8},  {0x012C, 8},
    {0x0234, 8},  {0x0139, 8},  {0x01F0, 8},  {0x0548, 16}, {0x02FA, 16}, {0x02FC, 14}, {0x02FB, 24}, {0x0324, 8},
    {0x0325, 8},  {0x0538, 8},  {0x0521, 8},  {0x0A32, 14}, {0x0940, 24}, {0x0B41, 28}, {0x0F43, 28}, {0x0D33, 24},
    {0x0142, 10}, {0x01F9, 6},  {0x0922, 20}, {0x0B23, 24}, {0x00F7, 10}, {0x0037, 10}, {0x0436, 10}, {0x06FF, 28},
    {0x0626, 10},
};

bool windowsPointsFit(Bytes r, std::size_t countAt) { return inside(r, countAt + 2, u16(r, countAt), 4); }

bool windowsRegionFits(Bytes r) {
    // After the object header (10 bytes) and the region's own fields: scans of
    // a count, top, bottom, count / 2 pairs of sides and the count again.
    const std::uint32_t scans = u16(r, 6 + 10);
    std::size_t at = 6 + 22;
    for (std::uint32_t i = 0; i < scans; ++i) {
        const std::uint32_t sides = u16(r, at);
        if (!inside(r, at, 3 + sides + 1, 2)) return false;
        at += (3 + static_cast<std::size_t>(sides) + 1) * 2;
    }
    return true;
}

// --- Enhanced metafiles --------------------------------------------------------

constexpr MinimumSize kEnhancedMinimum[] = {
    {2, 28},   {3, 28},   {4, 28},   {5, 28},   {6, 28},   {7, 32},   {8, 32},   {9, 16},   {10, 16},  {11, 16},
    {12, 16},  {13, 16},  {14, 20},  {15, 20},  {16, 12},  {17, 12},  {18, 12},  {19, 12},  {20, 12},  {21, 12},
    {22, 12},  {23, 32},  {24, 12},  {25, 12},  {26, 16},  {27, 16},  {29, 24},  {30, 24},  {31, 24},  {32, 24},
    {34, 12},  {35, 32},  {36, 36},  {37, 12},  {38, 28},  {39, 24},  {40, 12},  {41, 28},  {42, 24},  {43, 24},
    {44, 32},  {45, 40},  {46, 40},  {47, 40},  {48, 12},  {49, 16},  {50, 20},  {51, 16},  {53, 24},  {54, 16},
    {55, 40},  {56, 28},  {57, 12},  {58, 12},  {62, 24},  {63, 24},  {64, 24},  {67, 12},  {70, 12},  {71, 32},
    {72, 40},  {73, 28},  {74, 28},  {75, 16},  {76, 100}, {77, 108}, {78, 128}, {79, 140}, {80, 76},  {81, 80},
    {82, 104}, {83, 76},  {84, 76},  {85, 28},  {86, 28},  {87, 28},  {88, 28},  {89, 28},  {90, 32},  {91, 32},
    {92, 28},  {93, 32},  {94, 32},  {95, 52},  {96, 40},  {97, 40},  {98, 12},  {100, 12}, {101, 12}, {105, 16},
    {106, 16}, {108, 36}, {110, 20}, {112, 20}, {113, 20}, {114, 108}, {115, 12}, {116, 108}, {118, 36}, {120, 16},
    {121, 24}, {99, 340}, {122, 604},
};

// POLYPOLYLINE, POLYPOLYGON: the counts, then as many points as they add up to.
bool polyPolyFits(Bytes r, std::uint64_t pointSize) {
    const std::uint32_t polygons = u32(r, 24), points = u32(r, 28);
    if (!inside(r, 32, polygons, 4) || !inside(r, 32 + std::uint64_t{polygons} * 4, points, pointSize)) return false;
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < polygons; ++i) sum += u32(r, 32 + std::size_t{i} * 4);
    return sum <= points;
}

// A text's characters and, when given, its spacing array (EMRTEXT at `at`).
bool textFits(Bytes r, std::size_t at, std::uint64_t charSize) {
    const std::uint64_t count = u32(r, at + 8), offString = u32(r, at + 12), options = u32(r, at + 16);
    const std::uint64_t offDx = u32(r, at + 36);
    if (!inside(r, offString, count, charSize)) return false;
    const std::uint64_t dxSize = (options & 0x2000) != 0 ? 8 : 4;  // ETO_PDY: pairs
    return offDx == 0 || inside(r, offDx, count, dxSize);
}

// GRADIENTFILL: vertices, then triangles or rectangles of vertex numbers.
bool gradientFits(Bytes r) {
    const std::uint32_t vertices = u32(r, 24), shapes = u32(r, 28), mode = u32(r, 32);
    const std::uint64_t corners = mode == 2 ? 3 : 2;
    if (mode > 2 || !inside(r, 36, vertices, 16)) return false;
    const std::uint64_t at = 36 + std::uint64_t{vertices} * 16;
    if (!inside(r, at, shapes, corners * 4)) return false;
    for (std::uint64_t i = 0; i < shapes * corners; ++i)
        if (u32(r, static_cast<std::size_t>(at + i * 4)) >= vertices) return false;
    return true;
}

// An object's number: a slot of the file's object table, or for the records
// that may select one, a stock object (the high bit set).
bool objectFits(std::uint32_t index, std::uint32_t slots, bool stock) {
    return index < slots || (stock && (index & 0x80000000u) != 0);
}

// The records of an enhanced metafile that name an object, and where: GDI
// takes the table's entry without looking at the table's size.
bool enhancedObjectsFit(std::uint32_t type, Bytes r, std::uint32_t handles) {
    switch (type) {
    case 37: case 48: case 100:  // SELECTOBJECT, SELECTPALETTE, SETCOLORSPACE
        return objectFits(u32(r, 8), handles, true);
    case 38: case 39: case 40: case 49: case 50: case 51: case 82: case 93:
    case 94: case 95: case 99: case 101: case 111: case 122:  // made, changed or deleted
        return objectFits(u32(r, 8), handles, false);
    case 71: case 72: return objectFits(u32(r, 28), handles, false);  // FILLRGN, FRAMERGN: the brush
    default: return true;
    }
}

bool windowsObjectsFit(std::uint16_t function, Bytes r, std::uint32_t objects) {
    switch (function) {
    case 0x012D: case 0x01F0: case 0x0234: case 0x012C: case 0x012A: case 0x012B:
        return u16(r, 6) < objects;
    case 0x0228: case 0x0429: return u16(r, 6) < objects && u16(r, 8) < objects;  // region, brush
    default: return true;
    }
}

template <typename Key, std::size_t N>
bool longEnough(const MinimumSize (&table)[N], Key key, std::size_t size) {
    for (const MinimumSize &m : table)
        if (m.function == key) return size >= m.bytes;
    return true;
}

}  // namespace

bool windowsRecordFits(std::uint16_t function, Bytes r, std::uint32_t objects) {
    if (!longEnough(kWindowsMinimum, function, r.size()) || !windowsObjectsFit(function, r, objects)) return false;
    switch (function) {
    case 0x0324:  // POLYGON
    case 0x0325:  // POLYLINE
        return windowsPointsFit(r, 6);
    case 0x0538: {  // POLYPOLYGON
        const std::uint32_t polygons = u16(r, 6);
        if (!inside(r, 8, polygons, 2)) return false;
        std::uint64_t points = 0;
        for (std::uint32_t i = 0; i < polygons; ++i) points += u16(r, 8 + std::size_t{i} * 2);
        return inside(r, 8 + std::uint64_t{polygons} * 2, points, 4);
    }
    case 0x0521: {  // TEXTOUT: the string (to a whole word), then y and x
        const std::uint64_t count = u16(r, 6);
        return inside(r, 8 + (count + 1) / 2 * 2, 1, 4);
    }
    case 0x0A32: {  // EXTTEXTOUT: y, x, count, options, the rectangle when used, the string (to a
                    // whole word), and a spacing word a character in any longer record
        const std::uint64_t count = u16(r, 10), options = u16(r, 12);
        const std::uint64_t text = 14 + ((options & 0x6) != 0 ? 8 : 0) + (count + 1) / 2 * 2;
        return r.size() >= text && (r.size() == text || inside(r, text, count, 2));
    }
    case 0x0940:  // DIBBITBLT, DIBSTRETCHBLT: a bitmap only when the record is longer than without one
        return r.size() <= 24 || packedDibFits(r.subspan(22), 0);
    case 0x0B41: return r.size() <= 28 || packedDibFits(r.subspan(26), 0);
    case 0x0F43: return packedDibFits(r.subspan(28), u16(r, 10));  // STRETCHDIB
    case 0x0D33: return packedDibFits(r.subspan(24), u16(r, 6), u16(r, 8));  // SETDIBTODEV
    case 0x0142:  // DIBCREATEPATTERNBRUSH: a bitmap, of one plane when made a device bitmap (style 3)
        return packedDibFits(r.subspan(10), u16(r, 8)) && (u16(r, 6) != 3 || u16(r, 10 + 12) == 1);
    case 0x01F9: return bitmap16Fits(r, 6, 4 + 18);  // CREATEPATTERNBRUSH
    case 0x0922: return bitmap16Fits(r, 6 + 14, 4);  // BITBLT with its bitmap
    case 0x0B23: return bitmap16Fits(r, 6 + 18, 4);  // STRETCHBLT with its bitmap
    case 0x02FC: return plainBrushStyle(u16(r, 6));  // CREATEBRUSHINDIRECT
    case 0x00F7:  // CREATEPALETTE, SETPALENTRIES, ANIMATEPALETTE
    case 0x0037:
    case 0x0436: return inside(r, 10, u16(r, 8), 4);
    case 0x06FF: return windowsRegionFits(r);  // CREATEREGION
    case 0x0626: return inside(r, 10, u16(r, 8), 1);  // ESCAPE
    default: return true;
    }
}

bool enhancedRecordFits(std::uint32_t type, Bytes r, std::uint32_t handles) {
    if (type > 0xFFFF || !longEnough(kEnhancedMinimum, static_cast<std::uint16_t>(type), r.size())) return false;
    if (!enhancedObjectsFit(type, r, handles)) return false;
    switch (type) {
    case 1:  // HEADER: its description, and its pixel format when the header is long enough to name one
        return (u32(r, 60) == 0 || inside(r, u32(r, 64), u32(r, 60), 2)) &&
               (r.size() < 100 || u32(r, 88) == 0 || inside(r, u32(r, 92), u32(r, 88), 1));
    case 2: case 3: case 4: case 5: case 6:  // POLYBEZIER ... POLYLINETO
        return inside(r, 28, u32(r, 24), 8);
    case 85: case 86: case 87: case 88: case 89:  // the same with 16-bit points
        return inside(r, 28, u32(r, 24), 4);
    case 7: case 8: return polyPolyFits(r, 8);
    case 90: case 91: return polyPolyFits(r, 4);
    case 56:  // POLYDRAW, POLYDRAW16: the points, then a type byte each
    case 92: {
        const std::uint64_t count = u32(r, 24), size = type == 56 ? 8 : 4;
        return inside(r, 28, count, size + 1);
    }
    case 14:  // EOF: its palette entries
        return u32(r, 8) == 0 || inside(r, u32(r, 12), u32(r, 8), 4);
    case 39: return plainBrushStyle(u32(r, 12));  // CREATEBRUSHINDIRECT
    case 49: return inside(r, 16, u16(r, 14), 4);  // CREATEPALETTE
    case 50: return inside(r, 20, u32(r, 16), 4);  // SETPALETTEENTRIES
    case 70: return inside(r, 12, u32(r, 8), 1);   // GDICOMMENT
    case 71: return regionDataFits(r, 32, u32(r, 24));  // FILLRGN
    case 72: return regionDataFits(r, 40, u32(r, 24));  // FRAMERGN
    case 73: case 74: return regionDataFits(r, 28, u32(r, 24));  // INVERTRGN, PAINTRGN
    case 75: return regionDataFits(r, 16, u32(r, 8));  // EXTSELECTCLIPRGN
    case 76: case 77: case 114: case 116:  // BITBLT, STRETCHBLT, ALPHABLEND, TRANSPARENTBLT
        return optionalDibAt(r, 84, u32(r, 80));
    case 78: return optionalDibAt(r, 84, u32(r, 80)) && optionalDibAt(r, 112, u32(r, 108));  // MASKBLT
    case 79: return optionalDibAt(r, 96, u32(r, 92)) && optionalDibAt(r, 124, u32(r, 120));  // PLGBLT
    case 80: return dibAt(r, 48, u32(r, 64), u32(r, 72));  // SETDIBITSTODEVICE, its scans only
    case 81: return dibAt(r, 48, u32(r, 64));              // STRETCHDIBITS
    case 93: case 94: return dibAt(r, 16, u32(r, 12));     // CREATEMONOBRUSH, CREATEDIBPATTERNBRUSHPT
    case 95: {  // EXTCREATEPEN: its dashes, and the bitmap of a pattern pen
        const std::uint32_t brush = u32(r, 36);
        if (!inside(r, 52, u32(r, 48), 4)) return false;
        return plainBrushStyle(brush) || ((brush == 5 || brush == 6) && dibAt(r, 12, u32(r, 40)));  // colour: the usage
    }
    case 83: return textFits(r, 36, 1);  // EXTTEXTOUTA, EXTTEXTOUTW
    case 84: return textFits(r, 36, 2);
    case 96: case 97: {  // POLYTEXTOUTA, POLYTEXTOUTW: a run of texts
        const std::uint32_t count = u32(r, 36);
        if (!inside(r, 40, count, 40)) return false;
        for (std::uint32_t i = 0; i < count; ++i)
            if (!textFits(r, 40 + std::size_t{i} * 40, type == 96 ? 1 : 2)) return false;
        return true;
    }
    case 108: {  // SMALLTEXTOUT: the rectangle unless left out, then 8- or 16-bit characters
        const std::uint32_t count = u32(r, 16), options = u32(r, 20);
        const std::uint64_t at = 36 + ((options & 0x100) != 0 ? 0 : 16);
        return inside(r, at, count, (options & 0x200) != 0 ? 1 : 2);
    }
    case 118: return gradientFits(r);  // GRADIENTFILL
    case 105: case 106: return inside(r, 16, u32(r, 12), 1);  // DRAWESCAPE, EXTESCAPE
    case 110: return inside(r, 20, std::uint64_t{u32(r, 12)} + u32(r, 16), 1);  // NAMEDESCAPE
    case 112: case 113: return inside(r, 20, std::uint64_t{u32(r, 12)} + u32(r, 16), 1);  // SETICMPROFILE
    case 121: return inside(r, 24, std::uint64_t{u32(r, 16)} + u32(r, 20), 1);  // COLORMATCHTOTARGETW
    case 122: return inside(r, 604, u32(r, 600), 1);  // CREATECOLORSPACEW: its profile
    default: return true;
    }
}

}  // namespace ks318::port::gdi
