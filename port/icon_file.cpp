#include "port/icon_file.h"

#include <cstring>

#include "port/picture_pixels.h"

namespace ks318::port {
namespace {

std::uint32_t le16(const std::uint8_t *p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const std::uint8_t *p) { return le16(p) | (le16(p + 2) << 16); }

// A bitmap image of an icon: a header of at least 40 bytes, the colour table,
// then the colour rows and the 1-bit mask rows, as many of each as the image has
// rows (the header's height counts both).
bool readIconBitmap(const std::uint8_t *image, std::size_t size, IconImage &out) {
    if (size < 40) return false;
    const std::uint32_t headerSize = le32(image);
    const std::int64_t width = static_cast<std::int32_t>(le32(image + 4));
    const std::int64_t bothHeights = static_cast<std::int32_t>(le32(image + 8));
    const std::uint32_t bitCount = le16(image + 14), compression = le32(image + 16), coloursUsed = le32(image + 32);
    const std::int64_t height = (bothHeights < 0 ? -bothHeights : bothHeights) / 2;
    if (headerSize < 40 || headerSize > size || width <= 0 || height <= 0 || compression != 0) return false;
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        return false;
    const std::uint64_t colourTable = bitCount <= 8 ? std::uint64_t{coloursUsed != 0 ? coloursUsed : 1u << bitCount} * 4 : 0;
    const std::uint64_t colourRow = (static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4;
    const std::uint64_t maskRow = (static_cast<std::uint64_t>(width) + 31) / 32 * 4;
    if (headerSize + colourTable + (colourRow + maskRow) * static_cast<std::uint64_t>(height) > size) return false;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    return true;
}

}  // namespace

std::optional<IconImage> largestIconImage(const std::uint8_t *file, std::size_t size) {
    constexpr std::size_t kDirectory = 6, kEntry = 16;
    if (size < kDirectory || le16(file) != 0) return std::nullopt;
    const std::uint32_t type = le16(file + 2);
    const std::size_t count = le16(file + 4);
    if ((type != 1 && type != 2) || count == 0 || size < kDirectory + count * kEntry) return std::nullopt;

    const std::uint8_t *best = nullptr;
    std::uint32_t bestArea = 0, bestDepth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t *entry = file + kDirectory + i * kEntry;
        // Every image listed lies inside the file: one past its end means the file was cut short.
        const std::uint64_t bytes = le32(entry + 8), offset = le32(entry + 12);
        if (bytes == 0 || offset + bytes > size) return std::nullopt;
        const std::uint32_t area = (entry[0] == 0 ? 256u : entry[0]) * (entry[1] == 0 ? 256u : entry[1]);
        const std::uint32_t depth = le16(entry + 6);
        if (best == nullptr || area > bestArea || (area == bestArea && depth > bestDepth)) {
            best = entry;
            bestArea = area;
            bestDepth = depth;
        }
    }
    IconImage image;
    image.size = le32(best + 8);
    image.bytes = file + le32(best + 12);

    static const std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (image.size >= sizeof kPngSignature && std::memcmp(image.bytes, kPngSignature, sizeof kPngSignature) == 0) {
        const std::optional<PictureHeader> header = readPngHeader(image.bytes, image.size);
        if (!header) return std::nullopt;
        image.png = true;
        image.width = header->width;
        image.height = header->height;
        return image;
    }
    if (!readIconBitmap(image.bytes, image.size, image)) return std::nullopt;
    // A bitmap image goes to the icon decoder as a file of that single image:
    // the file's own first 6 bytes with a count of 1, its entry, the image at 22.
    std::memcpy(image.directory.data(), file, kDirectory);
    image.directory[4] = 1;
    image.directory[5] = 0;
    std::memcpy(image.directory.data() + kDirectory, best, 12);
    const std::uint32_t at = kDirectory + kEntry;
    for (int i = 0; i < 4; ++i) image.directory[kDirectory + 12 + i] = static_cast<std::uint8_t>(at >> (8 * i));
    return image;
}

}  // namespace ks318::port
