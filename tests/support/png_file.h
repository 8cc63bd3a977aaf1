// Reads a PNG file that a simulated screen wrote, as 8-bit RGB.
#pragma once

#include <png.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "sim/screen.h"

namespace ks318::test {

struct Png {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    sim::Colour at(unsigned x, unsigned y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

// An empty picture (width 0) when the file is missing or not a PNG.
inline Png readPng(const std::filesystem::path &path) {
    Png png;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return png;
    image.format = PNG_FORMAT_RGB;
    png.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr)) return {};
    png.width = image.width;
    png.height = image.height;
    return png;
}

}  // namespace ks318::test
