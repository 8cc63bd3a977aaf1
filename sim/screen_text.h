// Texts on the simulated screen (code 35). The 170-byte text record is read as:
//
//   @0   int16     x of the text's top-left corner, in pixels (may be negative)
//   @2   int16     y of the text's top-left corner: the top of its first line
//   @4   char[128] the text; '\n' starts a new line. UTF-8 when it is valid
//                  UTF-8, otherwise one character per byte (Latin-1)
//   @132 char[32]  a font's file name: the terminal draws with FONTS_DIR/<name>
//                  when such a file was sent to it and is a font, else with its
//                  own font (DejaVu Sans)
//   @164 int16     not used by the screen (1 in records built by EnviaTexto)
//   @166 int16     the text's colour: a palette index (its low byte)
//   @168 int16     the line height in pixels; 0 or below takes 16, the rest is
//                  kept between 6 and 200
//
// Letters are anti-aliased: a pixel a letter covers only in part takes the
// palette entry nearest to the mix of the letter's colour and what was there.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/wire.h"

namespace ks318::sim {

struct TextRecord {
    static constexpr std::size_t kBytes = 170;
    static constexpr int kDefaultHeight = 16;

    std::int16_t x = 0;
    std::int16_t y = 0;
    std::string text;
    std::string fontName;
    std::int16_t builtByEnviaTexto = 0;
    std::int16_t colour = 0;
    std::int16_t height = 0;

    // Nothing for a payload of another size.
    static std::optional<TextRecord> parse(const Bytes &payload);
    // The record's bytes (texts cut to their fields, always zero-ended).
    Bytes encode() const;
    std::uint8_t colourIndex() const { return static_cast<std::uint8_t>(colour & 0xFF); }
    int lineHeight() const;
};

// The characters of an 8-bit text: UTF-8 when the bytes are valid UTF-8, else Latin-1.
std::u32string decodeText(const std::string &text);

// The palette entry nearest to a colour (squared distance in RGB); ties go to
// `preferred` first, then to the lowest index.
std::uint8_t nearestEntry(const std::array<std::uint8_t, 768> &palette, int r, int g, int b, std::uint8_t preferred);

// Draws texts onto a palette-index picture. Holds its fonts open; not for use
// from several threads at once.
class TextPainter {
public:
    // `defaultFont`: the font file used when a record names none that exists.
    explicit TextPainter(std::filesystem::path defaultFont);
    ~TextPainter();
    TextPainter(const TextPainter &) = delete;
    TextPainter &operator=(const TextPainter &) = delete;

    // Where fonts sent to the terminal are (its FONTS_DIR); empty for none.
    void setFontDirectory(std::filesystem::path directory) { fontDirectory_ = std::move(directory); }

    // Draws the record into `indices` (width × height, rows top first), clipped
    // at the edges. False when no font could be opened; true otherwise, even when
    // every letter fell outside the picture.
    bool draw(const TextRecord &record, std::vector<std::uint8_t> &indices, int width, int height,
              const std::array<std::uint8_t, 768> &palette);

private:
    struct Face;
    Face *faceFor(const std::string &fontName);
    Face *open(const std::filesystem::path &path);

    void *library_ = nullptr;  // FT_Library
    std::filesystem::path defaultFont_;
    std::filesystem::path fontDirectory_;
    std::map<std::string, Face *> faces_;  // by path; null for a file that is no font
};

}  // namespace ks318::sim
