// The console's own sample picture, drawn by code: a landscape with a sky, a
// sun, a rainbow and hills, in many colours, so that the conversion into a
// terminal image (fitting, colour reduction, dithering) has something to show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks318::tools {

// RGB bytes, rows top first.
std::vector<std::uint8_t> drawSamplePicture(int width, int height);

// Writes RGB pixels as an uncompressed 24-bit BMP file; false when it cannot.
bool writeBmp(const std::string &path, int width, int height, const std::vector<std::uint8_t> &rgb);

bool writeSamplePicture(const std::string &path, int width, int height);

}  // namespace ks318::tools
