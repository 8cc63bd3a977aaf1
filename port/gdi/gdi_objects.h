// The drawing objects a metafile creates, selects and deletes (pens, brushes,
// fonts, palettes, regions) and the table its records name them by.
//
// Objects are shared: the table holds one reference and the drawing state that
// selected it another, so deleting the pen in use only empties its table slot
// and the pen draws until another is selected, as GDI frees such an object
// only then. A saved state does not hold its objects: restoring it after one of
// them was deleted keeps the object in use instead, as GDI does. No record ever
// reaches an object that is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ks318::port::gdi {

struct Colour {
    std::uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const Colour &) const = default;
};
inline constexpr Colour kBlack{0, 0, 0};
inline constexpr Colour kWhite{255, 255, 255};

// An image held by a pattern brush or read from a bitmap record: ARGB pixels as
// cairo keeps them (premultiplied, fully opaque here), rows top first.
struct Bitmap {
    int width = 0;
    int height = 0;
    bool bottomUp = true;  // as its file held it: source rectangles count rows from the bottom then
    std::vector<std::uint32_t> argb;
};

enum PenStyle : std::uint32_t {
    kPenSolid = 0,
    kPenDash = 1,
    kPenDot = 2,
    kPenDashDot = 3,
    kPenDashDotDot = 4,
    kPenNull = 5,
    kPenInsideFrame = 6,
    kPenUserStyle = 7,
    kPenAlternate = 8,
};

struct Pen {
    std::uint32_t style = kPenSolid;  // the low four bits of the style
    double width = 0;                 // logical units; 0 draws one device pixel
    bool cosmetic = true;             // one device pixel whatever the width
    Colour colour = kBlack;
    std::uint32_t endCap = 0;         // 0 round, 1 square, 2 flat
    std::uint32_t join = 0;           // 0 round, 1 bevel, 2 miter
    std::vector<double> userDashes;   // logical units, for kPenUserStyle
    // Dashes and dots keep their style however wide the pen is (pens made by
    // EXTCREATEPEN as geometric pens); other pens draw solid when wider than a pixel.
    bool styledWhenWide = false;
};

enum BrushStyle : std::uint32_t {
    kBrushSolid = 0,
    kBrushNull = 1,
    kBrushHatched = 2,
    kBrushPattern = 3,
    kBrushDibPattern = 5,
    kBrushDibPatternPt = 6,
};

struct Brush {
    std::uint32_t style = kBrushSolid;
    Colour colour = kWhite;
    std::uint32_t hatch = 0;
    std::shared_ptr<const Bitmap> pattern;  // for the pattern styles
};

struct Font {
    double height = 0;  // logical units: below 0 the characters' height, above it the cells'
    double width = 0;
    double escapement = 0;  // tenths of a degree, counter-clockwise
    int weight = 400;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    std::uint8_t charset = 0;
    std::string face;  // UTF-8
};

struct Palette {
    std::vector<Colour> entries;
};

// A region of rectangles in logical units, as a Windows metafile creates them.
struct Region {
    struct Rect {
        double left, top, right, bottom;
    };
    std::vector<Rect> rects;
};

using GdiObject = std::variant<std::shared_ptr<const Pen>, std::shared_ptr<const Brush>,
                               std::shared_ptr<const Font>, std::shared_ptr<const Palette>,
                               std::shared_ptr<const Region>>;

// The objects of a metafile by index. A Windows metafile's records put each new
// object into the lowest empty slot of a table whose size its header gives; an
// enhanced metafile's records name the slot themselves.
class ObjectTable {
public:
    explicit ObjectTable(std::size_t size) : slots_(size) {}

    // Into the lowest empty slot; false when none is left (the object is dropped,
    // as Windows drops it).
    bool add(GdiObject object) {
        for (auto &slot : slots_)
            if (!slot) {
                slot = std::move(object);
                return true;
            }
        return false;
    }
    void put(std::size_t index, GdiObject object) {
        if (index < slots_.size()) slots_[index] = std::move(object);
    }
    const GdiObject *get(std::size_t index) const {
        return index < slots_.size() && slots_[index] ? &*slots_[index] : nullptr;
    }
    void remove(std::size_t index) {
        if (index < slots_.size()) slots_[index].reset();
    }

private:
    std::vector<std::optional<GdiObject>> slots_;
};

// The stock objects an enhanced metafile selects by index (with the top bit set).
std::optional<GdiObject> stockObject(std::uint32_t index);

// A colour reference: 0x00bbggrr, 0x01 in the top byte for a palette index,
// 0x02 for the palette colour nearest to the given one (taken as given).
Colour colourFromReference(std::uint32_t reference, const Palette *palette);

}  // namespace ks318::port::gdi
