// Picture files on the host: the platform's decoders, chosen by the file name's
// extension, and a 24-bit drawing surface to draw a decoded picture onto.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ks318.h"

namespace ks318::port {

// A file larger than this many bytes (256 MiB) is refused without being read.
inline constexpr std::int64_t kMaxPictureFileBytes = KQ_PICTURE_MAX_BYTES;
static_assert(kMaxPictureFileBytes == 256LL * 1024 * 1024);
// A picture that would be decoded into more pixels than this (32 Mi, e.g. 8192 × 4096;
// 96 MiB as RGB) is refused before it is decoded. A JPEG counts at the reduced
// scale it is decoded at (see NeededSize).
inline constexpr std::int64_t kMaxPicturePixels = KQ_PICTURE_MAX_PIXELS;
static_assert(kMaxPicturePixels == 32LL * 1024 * 1024);
// What a decoder may hold besides the file and the decoded pixels (64 MiB): a
// progressive JPEG keeps every coefficient of the picture (2 bytes per sample
// of each component, however small it is decoded), and one that needs more is
// refused before it is decoded.
inline constexpr std::int64_t kMaxPictureDecodeBytes = KQ_PICTURE_MAX_DECODE_BYTES;
static_assert(kMaxPictureDecodeBytes == 64LL * 1024 * 1024);

// A 24-bit drawing surface: 3 bytes (red, green, blue) per pixel, rows top first,
// no padding.
struct RgbCanvas {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    RgbCanvas(int w, int h) : width(w), height(h), rgb(static_cast<std::size_t>(w) * h * 3, 0xFF) {}
    std::uint8_t *pixel(int x, int y) { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

// Where a picture is drawn: may start left of or above the canvas and reach past it.
struct TargetRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct PixelSize {
    int width = 0;
    int height = 0;
};

// A loaded picture. Bitmaps (bmp, jpg, jpeg, ico) arrive as pixels, already laid
// over white where they are transparent, and are stretched by the caller;
// metafiles (wmf, emf) are played by the platform into the target rectangle.
class Picture {
public:
    virtual ~Picture() = default;
    // The picture's own size, as its file gives it: what it is fitted by.
    int width() const { return width_; }
    int height() const { return height_; }
    // The size of pixels(): the picture's own, or smaller when the decoder
    // decoded it at a reduced scale.
    int pixelWidth() const { return pixelWidth_; }
    int pixelHeight() const { return pixelHeight_; }
    // pixelWidth × pixelHeight RGB pixels, rows top first; null for a metafile.
    virtual const std::uint8_t *pixels() const { return nullptr; }
    // Plays a metafile into `target`, clipped to the canvas; false when it could not.
    virtual bool play(RgbCanvas &, const TargetRect &) const { return false; }

protected:
    Picture(int width, int height) : Picture(width, height, width, height) {}
    Picture(int width, int height, int pixelWidth, int pixelHeight)
        : width_(width), height_(height), pixelWidth_(pixelWidth), pixelHeight_(pixelHeight) {}
    void setSize(int width, int height) {
        width_ = pixelWidth_ = width;
        height_ = pixelHeight_ = height;
    }

private:
    int width_;
    int height_;
    int pixelWidth_;
    int pixelHeight_;
};

// Given a picture's own width and height, the fewest pixels across and down it
// is drawn with. A decoder that can decode at a reduced scale (JPEG: 1/2, 1/4,
// 1/8) uses the smallest of those scales that still gives at least that many;
// without it, or where the platform's decoder cannot, pictures decode whole.
using NeededSize = std::function<PixelSize(int width, int height)>;

// True when `path` names an existing regular file (not a directory).
bool pictureFileExists(const char *path);

// Loads a picture by its extension ("bmp", "jpg", "jpeg", "ico", "wmf", "emf",
// in any case). Null for another extension, a file over kMaxPictureFileBytes (not
// read), a picture over kMaxPicturePixels (not decoded), a file that ends before
// its picture does or whose headers are damaged, a file the decoder rejects, a
// picture without width or height, or when memory runs out on the way (no
// exception leaves it).
std::unique_ptr<Picture> loadPicture(const char *path, const NeededSize &needed = {});

}  // namespace ks318::port
