#include "port/icon_file.h"

#include <cstring>

namespace ks318::port {
namespace {

std::uint32_t le16(const std::uint8_t *p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const std::uint8_t *p) { return le16(p) | (le16(p + 2) << 16); }

}  // namespace

std::optional<IconImage> largestIconImage(const std::vector<std::uint8_t> &file) {
    constexpr std::size_t kDirectory = 6, kEntry = 16;
    if (file.size() < kDirectory || le16(file.data()) != 0) return std::nullopt;
    const std::uint32_t type = le16(file.data() + 2);
    const std::size_t count = le16(file.data() + 4);
    if ((type != 1 && type != 2) || count == 0 || file.size() < kDirectory + count * kEntry) return std::nullopt;

    const std::uint8_t *best = nullptr;
    std::uint32_t bestArea = 0, bestDepth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t *entry = file.data() + kDirectory + i * kEntry;
        const std::uint32_t area = (entry[0] == 0 ? 256u : entry[0]) * (entry[1] == 0 ? 256u : entry[1]);
        const std::uint32_t depth = le16(entry + 6);
        if (best == nullptr || area > bestArea || (area == bestArea && depth > bestDepth)) {
            best = entry;
            bestArea = area;
            bestDepth = depth;
        }
    }
    const std::uint64_t size = le32(best + 8), offset = le32(best + 12);
    if (size == 0 || offset + size > file.size()) return std::nullopt;
    const std::uint8_t *image = file.data() + offset;

    static const std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size >= sizeof kPngSignature && std::memcmp(image, kPngSignature, sizeof kPngSignature) == 0)
        return IconImage{true, std::vector<std::uint8_t>(image, image + size)};

    // A bitmap image goes to the icon decoder as a file of that single image.
    std::vector<std::uint8_t> single(file.begin(), file.begin() + kDirectory);
    single[4] = 1;
    single[5] = 0;
    single.insert(single.end(), best, best + 12);
    const std::uint32_t newOffset = kDirectory + kEntry;
    for (int i = 0; i < 4; ++i) single.push_back(static_cast<std::uint8_t>(newOffset >> (8 * i)));
    single.insert(single.end(), image, image + size);
    return IconImage{false, std::move(single)};
}

}  // namespace ks318::port
