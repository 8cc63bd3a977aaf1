// Icon files hold several images; the one shown is the largest. Shared by the
// picture support of every platform.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace ks318::port {

struct IconImage {
    bool png = false;  // a PNG stream rather than a bitmap image
    // The image's own size: a PNG's IHDR, or the bitmap header's (without the mask).
    int width = 0;
    int height = 0;
    // The image inside the icon file (pointing into it): a whole PNG stream, or a
    // bitmap's header, colour table, colour rows and mask rows.
    const std::uint8_t *bytes = nullptr;
    std::size_t size = 0;
    // For a bitmap image: the start of an icon file of that one image, which goes
    // before `bytes` for an icon decoder.
    std::array<std::uint8_t, 22> directory{};
};

// The largest image (by area, then colour depth, then the first listed). Nothing
// when the file is not an icon file, when any image it lists lies past its end
// (a file cut short), or when the chosen image is damaged or incomplete itself: a
// PNG stream without its IEND chunk, or a bitmap (uncompressed, 1 to 32 bits per
// pixel) without all its colour and mask rows.
std::optional<IconImage> largestIconImage(const std::uint8_t *file, std::size_t size);

}  // namespace ks318::port
