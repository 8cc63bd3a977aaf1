// Picture files written by the tests themselves: BMP, JPEG, PNG and icon bytes
// from pixels, and small WMF and EMF metafiles that fill rectangles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace ks318::test {

using FileBytes = std::vector<std::uint8_t>;

// Little-endian values appended to a file, or written over bytes already in it.
inline void put16(FileBytes &out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
inline void put32(FileBytes &out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}
inline void patch32(FileBytes &out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb &) const = default;
};

// Width × height pixels with alpha, rows top first.
struct TestPicture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> colour;
    std::vector<std::uint8_t> alpha;  // 255 opaque

    TestPicture(int w, int h, Rgb fill);
    void set(int x, int y, Rgb c, std::uint8_t a = 255);
    // Paints columns [x0, x1) of every row.
    void paintColumns(int x0, int x1, Rgb c);
};

FileBytes bmpFile(const TestPicture &picture);  // 24-bit, bottom-up, no compression
// Baseline (or progressive) JPEG, RGB input.
FileBytes jpegFile(const TestPicture &picture, int quality, bool progressive = false);
FileBytes pngFile(const TestPicture &picture);  // 8-bit RGBA

// A JPEG of any size, its rows made one at a time from colourAt(x, y): the
// picture is never held whole.
FileBytes jpegFileOf(int width, int height, int quality, const std::function<Rgb(int x, int y)> &colourAt);

// The 54 header bytes of a 24- or 32-bit uncompressed bottom-up bitmap of
// width × height; the file it starts is 54 + rows × row bytes long.
FileBytes bmpHeader(int width, int height, int bitCount);
// An 8-bit RLE bitmap of width × height palette indices (rows top first): each
// row as runs of one index, then the end-of-row code; the end-of-bitmap code last.
FileBytes bmpRle8File(int width, int height, const std::vector<Rgb> &palette, const std::vector<std::uint8_t> &indices);

// A file of `size` bytes that starts with `head` and is zero after it, written
// as a sparse file: it takes next to no room on disk whatever its size.
HostPath sparseFile(const TempDir &dir, const std::string &name, const FileBytes &head, std::uintmax_t size);

// An icon entry: a PNG image, or a 32-bit bitmap with its alpha and mask.
struct IconImage {
    TestPicture picture;
    bool asPng;
};
FileBytes icoFile(const std::vector<IconImage> &images);

// A rectangle to fill in a metafile, in the metafile's own units (pixels here).
struct FilledRect {
    int left, top, right, bottom;
    Rgb colour;
};
// Placeable WMF of width × height units at 96 units per inch.
FileBytes wmfFile(int width, int height, const std::vector<FilledRect> &rects);
// EMF of width × height device pixels on a 96-dots-per-inch reference device.
FileBytes emfFile(int width, int height, const std::vector<FilledRect> &rects);

}  // namespace ks318::test
