// Inside the POSIX picture support: the bitmap decoders and the metafile
// players, which the loader picks by extension.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/picture.h"
#include "port/picture_pixels.h"

namespace ks318::port {

// Decodes bytes with the decoder of the named format ("bmp", "jpeg", "ico",
// "png") at the size the decoder finds in them, a JPEG as stored (its EXIF
// orientation not applied); transparent pixels are laid over white. Null when
// it rejects them or the picture is over the limits. (Picture files go through
// loadPicture.)
std::unique_ptr<Picture> decodeBitmap(const char *format, const std::uint8_t *bytes, std::size_t count);

// What loadPicture does once it has read the file: the bytes go to the decoder
// of the format. Null in the same cases (a damaged or short file, a picture over
// the limits, rejected content, no width or height, memory running out); no
// exception leaves it. The fuzz targets reach the decoders through it.
std::unique_ptr<Picture> decodePicture(PictureFormat format, std::vector<std::uint8_t> bytes,
                                       const NeededSize &needed = {});

// Windows metafile (with or without the placeable header), sized at 96 dots per inch.
std::unique_ptr<Picture> loadWindowsMetafile(std::vector<std::uint8_t> bytes);
// Enhanced metafile, sized by its frame at 96 dots per inch.
std::unique_ptr<Picture> loadEnhancedMetafile(std::vector<std::uint8_t> bytes);

}  // namespace ks318::port
