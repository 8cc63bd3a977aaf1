// What both platforms' picture loaders share: the size limit, pictures held as
// RGB pixels, the extension that chooses the decoder, and reading a whole file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "port/picture.h"

namespace ks318::port {

// Pictures larger than this are refused rather than decoded (about 100 MB of RGB).
inline constexpr std::int64_t kMaxPixels = 32LL * 1024 * 1024;

inline bool acceptablePictureSize(int width, int height) {
    return width > 0 && height > 0 && static_cast<std::int64_t>(width) * height <= kMaxPixels;
}

// A decoded picture held as its own RGB pixels.
class RgbPicture final : public Picture {
public:
    RgbPicture(int width, int height, std::vector<std::uint8_t> rgb) : Picture(width, height), rgb_(std::move(rgb)) {}
    const std::uint8_t *pixels() const override { return rgb_.data(); }

private:
    std::vector<std::uint8_t> rgb_;
};

// The file name's extension in lower case, without its dot; empty when it has
// none. Both "/" and "\" (and a drive's ":") end a folder name.
std::string lowerExtension(const char *path);

// The whole file in one read; false when it cannot be read.
bool readWholeFile(const char *path, std::vector<std::uint8_t> &bytes);

}  // namespace ks318::port
