// Pictures for the conversion benchmarks, made here at run time: a photo-like
// scene (sky gradient, hills, a sun, textured ground and sensor noise) written
// as a JPEG or a 24-bit BMP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks318::bench {

// Width × height RGB pixels of the scene, rows top first.
std::vector<std::uint8_t> photoLikeScene(int width, int height);

bool writeJpeg(const std::string &path, const std::vector<std::uint8_t> &rgb, int width, int height, int quality);
// 24 bits per pixel, bottom-up rows padded to 4 bytes, no compression.
bool writeBmp(const std::string &path, const std::vector<std::uint8_t> &rgb, int width, int height);

}  // namespace ks318::bench
