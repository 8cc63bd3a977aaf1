// Inside the Windows picture support: GDI plays the metafiles; the bitmaps go
// to the shared decoders. The loader picks by extension.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/picture.h"

namespace ks318::port {

// Windows metafile (with or without the placeable header), sized at 96 dots per inch.
std::unique_ptr<Picture> loadWindowsMetafile(const std::vector<std::uint8_t> &bytes);
// Enhanced metafile, sized by its frame at 96 dots per inch.
std::unique_ptr<Picture> loadEnhancedMetafile(const std::vector<std::uint8_t> &bytes);

}  // namespace ks318::port
