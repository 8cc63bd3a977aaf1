// Inside the Windows picture support: GDI+ decodes the bitmaps, GDI plays the
// metafiles; the loader picks by extension.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/picture.h"

namespace ks318::port {

// Bitmap formats GDI+ is asked to decode. GDI+ recognises a format by its
// content; the file must also start as its extension says.
enum class BitmapFormat { bmp, jpeg, ico, png };

// Decodes bytes of the given format; transparent pixels are laid over white.
// Null when the bytes are not of that format or GDI+ rejects them.
std::unique_ptr<Picture> decodeBitmap(BitmapFormat format, const std::uint8_t *bytes, std::size_t count);

// Windows metafile (with or without the placeable header), sized at 96 dots per inch.
std::unique_ptr<Picture> loadWindowsMetafile(const std::vector<std::uint8_t> &bytes);
// Enhanced metafile, sized by its frame at 96 dots per inch.
std::unique_ptr<Picture> loadEnhancedMetafile(const std::vector<std::uint8_t> &bytes);

}  // namespace ks318::port
