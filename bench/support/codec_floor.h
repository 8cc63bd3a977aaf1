// The least any conversion of a picture file into a terminal image must do, timed
// alone: read the file, decode it at full size (libjpeg for a JPEG, the rows of
// an uncompressed 24-bit BMP), draw it onto the canvas, and the colour reduction
// (quality-100 encode and quantised decode).
#pragma once

#include <string>

#include "image/colour_reduction.h"

namespace ks318::bench {

bool floorFromJpeg(const std::string &path, image::ScreenSize screen, image::TerminalImage &out);
bool floorFromBmp(const std::string &path, image::ScreenSize screen, image::TerminalImage &out);

}  // namespace ks318::bench
