#include "bench/support/codec_floor.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "image/picture_conversion.h"

namespace ks318::bench {
namespace {

bool readFile(const std::string &path, std::vector<std::uint8_t> &bytes) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    bytes.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    const bool read = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    std::fclose(file);
    return read;
}

bool drawAndReduce(const std::vector<std::uint8_t> &rgb, int width, int height, image::ScreenSize screen,
                   image::TerminalImage &out) {
    port::RgbCanvas canvas(screen.width, screen.height);
    image::stretchNearest(rgb.data(), width, height, canvas, image::fitPicture(width, height, screen));
    return image::reduceColours(canvas, out);
}

std::uint32_t le32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

bool floorFromJpeg(const std::string &path, image::ScreenSize screen, image::TerminalImage &out) {
    std::vector<std::uint8_t> file;
    if (!readFile(path, file)) return false;
    jpeg_decompress_struct codec{};
    jpeg_error_mgr errors{};
    codec.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&codec);
    jpeg_mem_src(&codec, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&codec, TRUE);
    codec.out_color_space = JCS_RGB;
    jpeg_start_decompress(&codec);
    const int width = static_cast<int>(codec.output_width), height = static_cast<int>(codec.output_height);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    while (codec.output_scanline < codec.output_height) {
        JSAMPROW row = rgb.data() + static_cast<std::size_t>(codec.output_scanline) * width * 3;
        jpeg_read_scanlines(&codec, &row, 1);
    }
    jpeg_finish_decompress(&codec);
    jpeg_destroy_decompress(&codec);
    return drawAndReduce(rgb, width, height, screen, out);
}

bool floorFromBmp(const std::string &path, image::ScreenSize screen, image::TerminalImage &out) {
    std::vector<std::uint8_t> file;
    if (!readFile(path, file) || file.size() < 54) return false;
    const std::uint32_t offset = le32(file.data() + 10);
    const int width = static_cast<int>(le32(file.data() + 18)), height = static_cast<int>(le32(file.data() + 22));
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    if (width <= 0 || height <= 0 || offset + rowBytes * height > file.size()) return false;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *in = file.data() + offset + rowBytes * static_cast<std::size_t>(height - 1 - y);
        std::uint8_t *row = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            row[x * 3] = in[x * 3 + 2];
            row[x * 3 + 1] = in[x * 3 + 1];
            row[x * 3 + 2] = in[x * 3];
        }
    }
    return drawAndReduce(rgb, width, height, screen, out);
}

}  // namespace ks318::bench
