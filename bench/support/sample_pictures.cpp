#include "bench/support/sample_pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

namespace ks318::bench {
namespace {

std::uint8_t clampByte(double value) { return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0)); }

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void putLE(std::vector<std::uint8_t> &out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> photoLikeScene(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t noise = 12345;
    const double sunX = width * 0.7, sunY = height * 0.25, sunR = height * 0.08;
    for (int y = 0; y < height; ++y) {
        const double v = static_cast<double>(y) / height;
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double horizon = 0.55 + 0.08 * std::sin(u * 9.0) + 0.04 * std::sin(u * 23.0 + 1.3);
            double r, g, b;
            if (v < horizon) {  // sky, lighter toward the horizon
                r = 70 + 120 * v;
                g = 120 + 100 * v;
                b = 220 - 40 * v;
                const double d = std::hypot(x - sunX, y - sunY);
                if (d < sunR * 3) {
                    const double glow = std::max(0.0, 1.0 - d / (sunR * 3));
                    r += 150 * glow * glow;
                    g += 120 * glow * glow;
                    b += 40 * glow * glow;
                }
            } else {  // ground: grass with texture
                const double t = 0.5 + 0.25 * std::sin(x * 0.21 + y * 0.07) + 0.25 * std::sin(x * 0.037 - y * 0.19);
                r = 40 + 60 * t + 50 * (v - horizon);
                g = 90 + 80 * t;
                b = 30 + 30 * t;
            }
            noise = noise * 1664525u + 1013904223u;
            const double grain = static_cast<double>((noise >> 24) & 0x1F) - 16.0;
            std::uint8_t *pixel = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            pixel[0] = clampByte(r + grain);
            pixel[1] = clampByte(g + grain);
            pixel[2] = clampByte(b + grain);
        }
    }
    return rgb;
}

bool writeJpeg(const std::string &path, const std::vector<std::uint8_t> &rgb, int width, int height, int quality) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    jpeg_compress_struct codec{};
    jpeg_error_mgr errors{};
    codec.err = jpeg_std_error(&errors);
    jpeg_create_compress(&codec);
    jpeg_stdio_dest(&codec, file.get());
    codec.image_width = static_cast<JDIMENSION>(width);
    codec.image_height = static_cast<JDIMENSION>(height);
    codec.input_components = 3;
    codec.in_color_space = JCS_RGB;
    jpeg_set_defaults(&codec);
    jpeg_set_quality(&codec, quality, TRUE);
    jpeg_start_compress(&codec, TRUE);
    while (codec.next_scanline < codec.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.data() + static_cast<std::size_t>(codec.next_scanline) * width * 3);
        jpeg_write_scanlines(&codec, &row, 1);
    }
    jpeg_finish_compress(&codec);
    jpeg_destroy_compress(&codec);
    return true;
}

bool writeBmp(const std::string &path, const std::vector<std::uint8_t> &rgb, int width, int height) {
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
    const std::uint32_t dataBytes = rowBytes * static_cast<std::uint32_t>(height);
    std::vector<std::uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    putLE(out, 54 + dataBytes, 4);
    putLE(out, 0, 4);
    putLE(out, 54, 4);
    putLE(out, 40, 4);
    putLE(out, static_cast<std::uint32_t>(width), 4);
    putLE(out, static_cast<std::uint32_t>(height), 4);
    putLE(out, 1, 2);
    putLE(out, 24, 2);
    putLE(out, 0, 4);
    putLE(out, dataBytes, 4);
    putLE(out, 3780, 4);
    putLE(out, 3780, 4);
    putLE(out, 0, 4);
    putLE(out, 0, 4);
    for (int y = height - 1; y >= 0; --y) {
        const std::uint8_t *row = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            out.push_back(row[x * 3 + 2]);
            out.push_back(row[x * 3 + 1]);
            out.push_back(row[x * 3]);
        }
        for (std::uint32_t pad = static_cast<std::uint32_t>(width) * 3; pad < rowBytes; ++pad) out.push_back(0);
    }
    File file(std::fopen(path.c_str(), "wb"));
    return file && std::fwrite(out.data(), 1, out.size(), file.get()) == out.size();
}

}  // namespace ks318::bench
