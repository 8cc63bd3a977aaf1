// The bitmap decoders, the same code on every platform so that a file gives the
// same pixels everywhere: BMP and icon bitmaps decoded here, JPEG through
// libjpeg (scaled decoding, bounded work memory, EXIF orientation), PNG through
// libpng. Each takes bytes whose headers picture_pixels.h / icon_file.h have
// read; each gives null (and notes why where it knows better than "could not be
// decoded") for content it cannot decode or a picture over the limits.
#pragma once

#include <cstdint>
#include <memory>

#include "port/icon_file.h"
#include "port/picture.h"
#include "port/picture_pixels.h"

namespace ks318::port {

// A whole BMP file (see readBmpHeader).
std::unique_ptr<Picture> decodeBmp(const std::uint8_t *bytes, std::size_t count);

// The bitmap image of an icon (see largestIconImage): colour rows, then the mask
// rows; transparent pixels (by the mask, or by alpha in a 32-bit image whose
// alpha is not all 0) are laid over white.
std::unique_ptr<Picture> decodeIconBitmap(const IconImage &image);

// A JPEG file. `needed` (optional) chooses the scale as jpegScaleDenominator
// does, from the picture's size as shown. With `orient`, the EXIF orientation
// is applied: the picture's own size and its pixels are as shown (turned or
// mirrored), not as stored. A picture whose decoder would need more work memory
// than kMaxPictureDecodeBytes (a progressive or multi-scan JPEG keeps every
// coefficient of the picture) is refused before it is decoded.
std::unique_ptr<Picture> decodeJpeg(const std::uint8_t *bytes, std::size_t count, const NeededSize &needed,
                                    bool orient);

// A PNG stream; transparent pixels are laid over white.
std::unique_ptr<Picture> decodePng(const std::uint8_t *bytes, std::size_t count);

// The bitmap formats (bmp, jpeg, ico) of a whole file; null for a metafile.
std::unique_ptr<Picture> decodeBitmapFile(PictureFormat format, const std::uint8_t *bytes, std::size_t count,
                                          const NeededSize &needed);

// Transparency laid over white: the colour an 8-bit channel value `c` with
// alpha `a` shows.
inline std::uint8_t overWhite(unsigned c, unsigned a) {
    return static_cast<std::uint8_t>((c * a + 255u * (255u - a) + 127u) / 255u);
}

}  // namespace ks318::port
