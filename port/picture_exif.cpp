#include "port/picture_exif.h"

#include <cstring>

namespace ks318::port {

int exifOrientation(const std::uint8_t *data, std::size_t size) {
    constexpr std::size_t kExifHeader = 6;  // "Exif\0\0"
    if (size < kExifHeader + 8 || std::memcmp(data, "Exif\0\0", kExifHeader) != 0) return 1;
    const std::uint8_t *tiff = data + kExifHeader;
    const std::size_t length = size - kExifHeader;
    bool bigEndian;
    if (std::memcmp(tiff, "II*\0", 4) == 0)
        bigEndian = false;
    else if (std::memcmp(tiff, "MM\0*", 4) == 0)
        bigEndian = true;
    else
        return 1;
    const auto u16 = [&](std::size_t at) -> std::uint32_t {
        return bigEndian ? (tiff[at] << 8) | tiff[at + 1] : tiff[at] | (tiff[at + 1] << 8);
    };
    const auto u32 = [&](std::size_t at) -> std::uint32_t { return bigEndian ? (u16(at) << 16) | u16(at + 2) : u16(at) | (u16(at + 2) << 16); };
    // The first image directory: a count, then entries of tag, type, count and value.
    const std::size_t directory = u32(4);
    if (directory > length || length - directory < 2) return 1;
    const std::size_t entries = u16(directory);
    constexpr std::uint32_t kOrientationTag = 0x0112, kShort = 3;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + i * 12;
        if (entry + 12 > length) return 1;
        if (u16(entry) != kOrientationTag) continue;
        if (u16(entry + 2) != kShort || u32(entry + 4) != 1) return 1;
        const std::uint32_t orientation = u16(entry + 8);
        return orientation >= 1 && orientation <= 8 ? static_cast<int>(orientation) : 1;
    }
    return 1;
}

}  // namespace ks318::port
