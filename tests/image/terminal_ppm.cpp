#include "tests/image/terminal_ppm.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace ks318::test {

RgbImage paletteApplied(const image::TerminalImage &image, image::ScreenSize screen) {
    RgbImage out;
    if (image.pixels.size() != static_cast<std::size_t>(screen.pixels())) return out;
    out.width = screen.width, out.height = screen.height;
    out.rgb.reserve(image.pixels.size() * 3);
    for (std::uint8_t index : image.pixels)
        out.rgb.insert(out.rgb.end(), image.palette + index * 3, image.palette + index * 3 + 3);
    return out;
}

bool writePpm(const std::filesystem::path &path, const RgbImage &image) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << image.width << ' ' << image.height << "\n255\n";
    out.write(reinterpret_cast<const char *>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
    return static_cast<bool>(out.flush());
}

RgbImage readPpm(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Magic, width, height and maximum, separated by white space (no comments
    // here: only writePpm's files are read), then one white-space byte.
    std::size_t at = 0;
    const auto field = [&]() -> long {
        while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
        const std::size_t start = at;
        while (at < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[at]))) ++at;
        if (at == start || at - start > 6) return -1;
        return std::strtol(bytes.substr(start, at - start).c_str(), nullptr, 10);
    };
    if (bytes.compare(0, 2, "P6") != 0) return {};
    at = 2;
    const long width = field(), height = field(), maximum = field();
    if (width <= 0 || height <= 0 || maximum != 255 || at >= bytes.size()) return {};
    ++at;
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    if (bytes.size() - at != size) return {};
    RgbImage image;
    image.width = static_cast<int>(width), image.height = static_cast<int>(height);
    image.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return image;
}

Agreement agreement(const RgbImage &a, const RgbImage &b, int tolerance) {
    Agreement result;
    if (a.width != b.width || a.height != b.height || a.width == 0 || a.rgb.size() != b.rgb.size()) return result;
    result.total = static_cast<std::int64_t>(a.width) * a.height;
    for (std::size_t i = 0; i < a.rgb.size(); i += 3) {
        bool close = true;
        for (std::size_t c = 0; c < 3; ++c) close = close && std::abs(int{a.rgb[i + c]} - int{b.rgb[i + c]}) <= tolerance;
        result.agreeing += close ? 1 : 0;
    }
    return result;
}

}  // namespace ks318::test
