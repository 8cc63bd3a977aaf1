// Picture files written by the tests themselves: BMP, JPEG, PNG and icon bytes
// from pixels, and small WMF and EMF metafiles that fill rectangles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace ks318::test {

using FileBytes = std::vector<std::uint8_t>;

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

FileBytes bmpFile(const TestPicture &picture);               // 24-bit, bottom-up, no compression
FileBytes jpegFile(const TestPicture &picture, int quality);  // baseline, RGB
FileBytes pngFile(const TestPicture &picture);               // 8-bit RGBA

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
