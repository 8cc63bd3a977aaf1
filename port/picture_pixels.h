// What both platforms' picture loaders share: the size limits, pictures held as
// RGB pixels, the extension that chooses the decoder, reading a whole file, and
// each bitmap format's headers, read (and the file checked for being whole)
// before anything is decoded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/picture.h"

namespace ks318::port {

// True when a picture decoded as width × height pixels stays within kMaxPicturePixels;
// otherwise notes why not.
bool acceptablePictureSize(std::int64_t width, std::int64_t height);

// `count` bytes of memory, or null when they cannot be had (never throws).
std::unique_ptr<std::uint8_t[]> tryAllocate(std::size_t count);

// A decoded picture held as its own RGB pixels.
class RgbPicture final : public Picture {
public:
    RgbPicture(int width, int height, int pixelWidth, int pixelHeight, std::unique_ptr<std::uint8_t[]> rgb)
        : Picture(width, height, pixelWidth, pixelHeight), rgb_(std::move(rgb)) {}
    const std::uint8_t *pixels() const override { return rgb_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> rgb_;
};

enum class PictureFormat { bmp, jpeg, ico, wmf, emf };

// The format the file name's extension names ("bmp", "jpg", "jpeg", "ico", "wmf",
// "emf", in any case); nothing for another extension or none.
std::optional<PictureFormat> formatByExtension(const char *path);

// The file name's extension in lower case, without its dot; empty when it has
// none. Both "/" and "\" (and a drive's ":") end a folder name.
std::string lowerExtension(const char *path);

// The whole file in one read. False, without reading it, for a file of more than
// maxBytes; false when it cannot be read or the memory for it cannot be had.
bool readWholeFile(const char *path, std::vector<std::uint8_t> &bytes, std::int64_t maxBytes = kMaxPictureFileBytes);

// What a bitmap's headers say.
struct PictureHeader {
    int width = 0;
    int height = 0;
    // The bytes, from the start, that the picture is made of: a JPEG up to and
    // including its end marker, a PNG up to and including its IEND chunk, a BMP
    // all of it.
    std::size_t length = 0;
};

// A BMP file (core or info header, 1 to 32 bits per pixel; uncompressed, bit
// fields or RLE). Nothing for another file, an unknown compression, a width or
// height of 0, a palette of more colours than its bits per pixel can index, or a
// file that ends before the pixel data its header announces:
// every row of an uncompressed bitmap, or an RLE stream up to its end-of-bitmap
// code or the end of its last row.
std::optional<PictureHeader> readBmpHeader(const std::uint8_t *bytes, std::size_t count);

// A JPEG file: the size in its first frame header. Nothing for another file, a
// damaged marker segment, or one that ends before the end marker (EOI) after its
// picture data.
std::optional<PictureHeader> readJpegHeader(const std::uint8_t *bytes, std::size_t count);

// A PNG stream: the size in its IHDR chunk. Nothing for another stream or one
// whose chunks do not reach an IEND chunk inside it.
std::optional<PictureHeader> readPngHeader(const std::uint8_t *bytes, std::size_t count);

// A JPEG of width × height decoded at 1/denominator has ceil(width / denominator)
// × ceil(height / denominator) pixels.
inline int scaledLength(int length, int denominator) { return (length + denominator - 1) / denominator; }

// The largest of 1, 2, 4 and 8 at which a width × height JPEG still keeps at
// least needed.width × needed.height pixels (at least 1 × 1).
int jpegScaleDenominator(int width, int height, PixelSize needed);

}  // namespace ks318::port
