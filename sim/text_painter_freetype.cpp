// Texts drawn with FreeType.
#include "sim/screen_text.h"

#include <algorithm>
#include <system_error>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace ks318::sim {
namespace {

// Fonts sent to the terminal are kept in this directory of its files.
constexpr char kFontsDirectory[] = "FONTS_DIR";

}  // namespace

struct TextPainter::Face {
    FT_Face face = nullptr;
    std::filesystem::file_time_type written;
};

TextPainter::TextPainter(std::filesystem::path defaultFont) : defaultFont_(std::move(defaultFont)) {
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) == 0) library_ = library;
}

TextPainter::~TextPainter() {
    for (auto &[path, face] : faces_) {
        if (face != nullptr) FT_Done_Face(face->face);
        delete face;
    }
    if (library_ != nullptr) FT_Done_FreeType(static_cast<FT_Library>(library_));
}

TextPainter::Face *TextPainter::open(const std::filesystem::path &path) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(path, error);
    if (error) return nullptr;
    const std::string key = path.string();
    auto found = faces_.find(key);
    // A font sent again under the same name replaces the one held open.
    if (found != faces_.end() && (found->second == nullptr || found->second->written == written))
        return found->second;
    if (found != faces_.end()) {
        FT_Done_Face(found->second->face);
        delete found->second;
        faces_.erase(found);
    }
    FT_Face face = nullptr;
    Face *opened = nullptr;
    if (FT_New_Face(static_cast<FT_Library>(library_), key.c_str(), 0, &face) == 0) {
        if (FT_IS_SCALABLE(face)) {
            opened = new Face{face, written};
        } else {
            FT_Done_Face(face);
        }
    }
    faces_[key] = opened;
    return opened;
}

TextPainter::Face *TextPainter::faceFor(const std::string &fontName) {
    if (library_ == nullptr) return nullptr;
    // Only a plain file name inside FONTS_DIR: nothing outside the terminal's store.
    const bool plainName = !fontName.empty() && fontName != "." && fontName != ".." &&
                           fontName.find_first_of("/\\") == std::string::npos;
    if (plainName && !fontDirectory_.empty()) {
        if (Face *face = open(fontDirectory_ / kFontsDirectory / fontName)) return face;
    }
    return open(defaultFont_);
}

bool TextPainter::draw(const TextRecord &record, std::vector<std::uint8_t> &indices, int width, int height,
                       const std::array<std::uint8_t, 768> &palette) {
    Face *found = faceFor(record.fontName);
    if (found == nullptr) return false;
    FT_Face face = found->face;
    const int lineHeight = record.lineHeight();
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(lineHeight)) != 0) return false;

    const std::uint8_t colour = record.colourIndex();
    const int red = palette[colour * 3], green = palette[colour * 3 + 1], blue = palette[colour * 3 + 2];
    auto blend = [&](int px, int py, int coverage) {
        if (px < 0 || py < 0 || px >= width || py >= height || coverage == 0) return;
        std::uint8_t &pixel = indices[static_cast<std::size_t>(py) * width + px];
        if (coverage == 255) {
            pixel = colour;
            return;
        }
        const int back = pixel * 3;
        auto mix = [&](int fore, int behind) { return (fore * coverage + behind * (255 - coverage) + 127) / 255; };
        pixel = nearestEntry(palette, mix(red, palette[back]), mix(green, palette[back + 1]), mix(blue, palette[back + 2]),
                             pixel);
    };

    const int ascender = static_cast<int>(face->size->metrics.ascender >> 6);
    int penX = record.x;  // in whole pixels: the screen has no finer positions
    int baseline = record.y + ascender;
    FT_UInt previous = 0;
    for (char32_t character : decodeText(record.text)) {
        if (character == U'\n') {
            penX = record.x;
            baseline += lineHeight;
            previous = 0;
            continue;
        }
        const FT_UInt glyph = FT_Get_Char_Index(face, character);
        if (previous != 0 && glyph != 0 && FT_HAS_KERNING(face)) {
            FT_Vector kerning;
            if (FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &kerning) == 0)
                penX += static_cast<int>(kerning.x >> 6);
        }
        previous = glyph;
        if (FT_Load_Glyph(face, glyph, FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap &bitmap = slot->bitmap;
        if (bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
            for (unsigned row = 0; row < bitmap.rows; ++row) {
                const unsigned char *line = bitmap.buffer + static_cast<std::ptrdiff_t>(row) * bitmap.pitch;
                for (unsigned column = 0; column < bitmap.width; ++column)
                    blend(penX + slot->bitmap_left + static_cast<int>(column),
                          baseline - slot->bitmap_top + static_cast<int>(row), line[column]);
            }
        }
        penX += static_cast<int>((slot->advance.x + 32) >> 6);
    }
    return true;
}

}  // namespace ks318::sim
