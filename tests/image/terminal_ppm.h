// Terminal images as plain pictures: the palette applied, written and read as
// binary PPM (P6), and two renderings of one picture compared pixel by pixel.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "image/colour_reduction.h"
#include "image/image_commands.h"

namespace ks318::test {

struct RgbImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;  // rows top first, 3 bytes a pixel

    const std::uint8_t *at(int x, int y) const { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

// Each pixel's palette entry looked up.
RgbImage paletteApplied(const image::TerminalImage &image, image::ScreenSize screen);

// False when the file could not be written.
bool writePpm(const std::filesystem::path &path, const RgbImage &image);
// An empty image (width 0) when the file is missing or no 8-bit P6 picture.
RgbImage readPpm(const std::filesystem::path &path);

struct Agreement {
    std::int64_t agreeing = 0;
    std::int64_t total = 0;  // 0 when the sizes differ or either image is empty
    double percent() const { return total == 0 ? 0.0 : 100.0 * static_cast<double>(agreeing) / static_cast<double>(total); }
};

// Pixels whose red, green and blue each differ by at most `tolerance`.
Agreement agreement(const RgbImage &a, const RgbImage &b, int tolerance);

}  // namespace ks318::test
