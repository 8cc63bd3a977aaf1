#include "tools/console/sample_picture.h"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace ks318::tools {
namespace {

struct Rgb {
    double r, g, b;
};

Rgb mix(Rgb a, Rgb b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// A colour of the rainbow, 0 (red, outside) to 1 (violet, inside).
Rgb rainbowColour(double t) {
    const double hue = t * 300.0;
    const double x = 1.0 - std::fabs(std::fmod(hue / 60.0, 2.0) - 1.0);
    const int sector = static_cast<int>(hue / 60.0);
    switch (sector) {
    case 0: return {1, x, 0};
    case 1: return {x, 1, 0};
    case 2: return {0, 1, x};
    case 3: return {0, x, 1};
    default: return {x, 0, 1};
    }
}

void putLE(std::ofstream &out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::vector<std::uint8_t> drawSamplePicture(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    const Rgb skyTop{0.55, 0.75, 1.0}, skyLow{0.97, 0.97, 1.0};
    const Rgb sunCore{1.0, 0.95, 0.4}, sunRim{1.0, 0.55, 0.1};
    const Rgb hillNear{0.15, 0.5, 0.15}, hillFar{0.45, 0.7, 0.35}, water{0.1, 0.35, 0.7};
    for (int y = 0; y < height; ++y) {
        const double v = static_cast<double>(y) / height;
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            // The sky: blue at the top, almost white at the horizon.
            Rgb colour = mix(skyTop, skyLow, v / 0.6);
            // A rainbow arc centred below the picture.
            const double arc = std::hypot((u - 0.35) * width, (v - 0.95) * height) / height;
            if (arc > 0.55 && arc < 0.7) colour = mix(colour, rainbowColour((arc - 0.55) / 0.15), 0.7);
            // The sun, with a soft rim.
            const double sun = std::hypot((u - 0.78) * width, (v - 0.25) * height) / height;
            if (sun < 0.13) colour = mix(sunCore, sunRim, sun / 0.13);
            // Two rows of hills, then water with ripples.
            const double far = 0.62 + 0.05 * std::sin(u * 9.0 + 1.0);
            const double near = 0.72 + 0.06 * std::sin(u * 5.0 + 2.5) + 0.02 * std::sin(u * 23.0);
            if (v > far) colour = mix(hillFar, hillNear, (v - far) * 3.0);
            if (v > near) colour = mix(hillNear, Rgb{0.05, 0.25, 0.05}, (v - near) * 4.0);
            if (v > 0.88) {
                const double ripple = 0.5 + 0.5 * std::sin(u * 60.0 + v * 90.0);
                colour = mix(water, Rgb{0.6, 0.8, 1.0}, ripple * (v - 0.88) * 4.0);
            }
            std::uint8_t *pixel = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            pixel[0] = static_cast<std::uint8_t>(std::lround(colour.r * 255));
            pixel[1] = static_cast<std::uint8_t>(std::lround(colour.g * 255));
            pixel[2] = static_cast<std::uint8_t>(std::lround(colour.b * 255));
        }
    }
    return rgb;
}

bool writeBmp(const std::string &path, int width, int height, const std::vector<std::uint8_t> &rgb) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
    const std::uint32_t pixelBytes = rowBytes * static_cast<std::uint32_t>(height);
    out.write("BM", 2);
    putLE(out, 54 + pixelBytes, 4);
    putLE(out, 0, 4);
    putLE(out, 54, 4);
    putLE(out, 40, 4);  // the info header
    putLE(out, static_cast<std::uint32_t>(width), 4);
    putLE(out, static_cast<std::uint32_t>(height), 4);  // positive: rows bottom first
    putLE(out, 1, 2);
    putLE(out, 24, 2);
    putLE(out, 0, 4);
    putLE(out, pixelBytes, 4);
    putLE(out, 2835, 4);  // 72 dots per inch
    putLE(out, 2835, 4);
    putLE(out, 0, 4);
    putLE(out, 0, 4);
    std::vector<char> row(rowBytes, 0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t *pixel = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            row[static_cast<std::size_t>(x) * 3] = static_cast<char>(pixel[2]);
            row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<char>(pixel[1]);
            row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<char>(pixel[0]);
        }
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    out.close();
    return !out.fail();
}

bool writeSamplePicture(const std::string &path, int width, int height) {
    return writeBmp(path, width, height, drawSamplePicture(width, height));
}

}  // namespace ks318::tools
