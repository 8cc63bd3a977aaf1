// Reducing a 24-bit canvas to a palette image through the JPEG codec: the canvas
// is encoded in memory at quality 100 and decoded again with the codec's
// two-pass colour quantiser (236 colours, Floyd–Steinberg dithering). The lossy
// step is part of the result: its rounding and chroma subsampling show in the
// colours the terminal gets.
#pragma once

#include <cstdint>
#include <vector>

#include "image/image_commands.h"
#include "port/picture.h"

namespace ks318::image {

inline constexpr int kColourCount = 236;
inline constexpr int kEncodeQuality = 100;

// A full-screen image as the terminal takes it.
struct TerminalImage {
    std::uint8_t palette[kPaletteBytes] = {};  // entries past `colours` stay black
    std::vector<std::uint8_t> pixels;          // one palette index per pixel, rows top first
    int colours = 0;                           // palette entries the pixels use, at most 236
};

// False when the codec failed; `image` is then unusable.
bool reduceColours(const port::RgbCanvas &canvas, TerminalImage &image);

}  // namespace ks318::image
