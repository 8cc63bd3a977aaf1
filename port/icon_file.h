// Icon files hold several images; the one shown is the largest. Shared by the
// picture support of every platform.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace ks318::port {

struct IconImage {
    bool png = false;                 // a PNG stream rather than a bitmap image
    std::vector<std::uint8_t> bytes;  // the PNG stream, or an icon file of this one image
};

// The largest image (by area, then colour depth, then the first listed); nothing
// when the file is not an icon file or the image lies outside it.
std::optional<IconImage> largestIconImage(const std::vector<std::uint8_t> &file);

}  // namespace ks318::port
