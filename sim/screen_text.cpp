#include "sim/screen_text.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace ks318::sim {
namespace {

constexpr std::size_t kTextOffset = 4, kTextBytes = 128;
constexpr std::size_t kFontOffset = 132, kFontBytes = 32;
constexpr char kFontsDirectory[] = "FONTS_DIR";

std::int16_t int16At(const Bytes &payload, std::size_t offset) {
    return static_cast<std::int16_t>(readLE16(payload, offset));
}

std::string textAt(const Bytes &payload, std::size_t offset, std::size_t width) {
    const auto begin = payload.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto end = std::find(begin, begin + static_cast<std::ptrdiff_t>(width), 0);
    return std::string(begin, end);
}

void putText(Bytes &record, std::size_t offset, std::size_t width, const std::string &text) {
    std::copy_n(text.begin(), std::min(text.size(), width - 1), record.begin() + static_cast<std::ptrdiff_t>(offset));
}

void putInt16(Bytes &record, std::size_t offset, std::int16_t value) {
    record[offset] = static_cast<std::uint8_t>(value);
    record[offset + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8);
}

// Decodes strict UTF-8 (no overlong forms, no surrogates); nothing when invalid.
std::optional<std::u32string> decodeUtf8(const std::string &text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra;
        char32_t cp;
        if (lead < 0x80) {
            extra = 0, cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + static_cast<std::size_t>(extra) >= text.size()) return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

}  // namespace

std::optional<TextRecord> TextRecord::parse(const Bytes &payload) {
    if (payload.size() != kBytes) return std::nullopt;
    TextRecord record;
    record.x = int16At(payload, 0);
    record.y = int16At(payload, 2);
    record.text = textAt(payload, kTextOffset, kTextBytes);
    record.fontName = textAt(payload, kFontOffset, kFontBytes);
    record.builtByEnviaTexto = int16At(payload, 164);
    record.colour = int16At(payload, 166);
    record.height = int16At(payload, 168);
    return record;
}

Bytes TextRecord::encode() const {
    Bytes record(kBytes, 0);
    putInt16(record, 0, x);
    putInt16(record, 2, y);
    putText(record, kTextOffset, kTextBytes, text);
    putText(record, kFontOffset, kFontBytes, fontName);
    putInt16(record, 164, builtByEnviaTexto);
    putInt16(record, 166, colour);
    putInt16(record, 168, height);
    return record;
}

int TextRecord::lineHeight() const { return height <= 0 ? kDefaultHeight : std::clamp<int>(height, 6, 200); }

std::u32string decodeText(const std::string &text) {
    if (auto utf8 = decodeUtf8(text)) return *utf8;
    std::u32string latin1;
    for (char c : text) latin1.push_back(static_cast<unsigned char>(c));
    return latin1;
}

std::uint8_t nearestEntry(const std::array<std::uint8_t, 768> &palette, int r, int g, int b, std::uint8_t preferred) {
    auto distance = [&](int entry) {
        const int dr = palette[entry * 3] - r, dg = palette[entry * 3 + 1] - g, db = palette[entry * 3 + 2] - b;
        return dr * dr + dg * dg + db * db;
    };
    int best = preferred;
    int bestDistance = distance(preferred);
    for (int entry = 0; entry < 256 && bestDistance > 0; ++entry) {
        const int d = distance(entry);
        if (d < bestDistance) best = entry, bestDistance = d;
    }
    return static_cast<std::uint8_t>(best);
}

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
