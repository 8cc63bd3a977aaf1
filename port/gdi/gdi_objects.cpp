#include "port/gdi/gdi_objects.h"

namespace ks318::port::gdi {
namespace {

std::shared_ptr<const Brush> solidBrush(Colour colour, std::uint32_t style = kBrushSolid) {
    auto brush = std::make_shared<Brush>();
    brush->style = style;
    brush->colour = colour;
    return brush;
}

std::shared_ptr<const Pen> cosmeticPen(Colour colour, std::uint32_t style = kPenSolid) {
    auto pen = std::make_shared<Pen>();
    pen->style = style;
    pen->colour = colour;
    return pen;
}

std::shared_ptr<const Font> stockFont(const char *face, double height, int weight) {
    auto font = std::make_shared<Font>();
    font->face = face;
    font->height = height;
    font->weight = weight;
    return font;
}

}  // namespace

namespace {

std::optional<GdiObject> makeStockObject(std::uint32_t index) {
    switch (index) {
    case 0: return solidBrush(kWhite);
    case 1: return solidBrush({192, 192, 192});
    case 2: return solidBrush({128, 128, 128});
    case 3: return solidBrush({64, 64, 64});
    case 4: return solidBrush(kBlack);
    case 5: return solidBrush(kWhite, kBrushNull);
    case 6: return cosmeticPen(kWhite);
    case 7: return cosmeticPen(kBlack);
    case 8: return cosmeticPen(kBlack, kPenNull);
    case 10:
    case 11:
    case 16: return stockFont("monospace", 16, 400);
    case 12:
    case 17: return stockFont("sans-serif", -11, 400);
    case 13:
    case 14: return stockFont("sans-serif", 16, 700);
    case 15: return std::make_shared<const Palette>();
    case 18: return solidBrush(kWhite);  // the DC brush, white until set
    case 19: return cosmeticPen(kBlack);  // the DC pen, black until set
    default: return std::nullopt;
    }
}

}  // namespace

// Made once: a stock object is never deleted, so a saved state that selected
// one always gets it back.
std::optional<GdiObject> stockObject(std::uint32_t index) {
    static const auto objects = [] {
        std::vector<std::optional<GdiObject>> all;
        for (std::uint32_t i = 0; i < 20; ++i) all.push_back(makeStockObject(i));
        return all;
    }();
    return index < objects.size() ? objects[index] : std::nullopt;
}

Colour colourFromReference(std::uint32_t reference, const Palette *palette) {
    if ((reference >> 24) == 0x01) {
        const std::uint32_t index = reference & 0xFFFF;
        if (palette != nullptr && index < palette->entries.size()) return palette->entries[index];
        return kBlack;
    }
    return {static_cast<std::uint8_t>(reference), static_cast<std::uint8_t>(reference >> 8),
            static_cast<std::uint8_t>(reference >> 16)};
}

}  // namespace ks318::port::gdi
