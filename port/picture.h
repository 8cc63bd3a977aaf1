// Picture files on the host: the platform's decoders, chosen by the file name's
// extension, and a 24-bit drawing surface to draw a decoded picture onto.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace ks318::port {

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

// A loaded picture. Bitmaps (bmp, jpg, jpeg, ico) arrive as pixels, already laid
// over white where they are transparent, and are stretched by the caller;
// metafiles (wmf, emf) are played by the platform into the target rectangle.
class Picture {
public:
    virtual ~Picture() = default;
    int width() const { return width_; }
    int height() const { return height_; }
    // Width × height RGB pixels, rows top first; null for a metafile.
    virtual const std::uint8_t *pixels() const { return nullptr; }
    // Plays a metafile into `target`, clipped to the canvas; false when it could not.
    virtual bool play(RgbCanvas &, const TargetRect &) const { return false; }

protected:
    Picture(int width, int height) : width_(width), height_(height) {}
    void setSize(int width, int height) {
        width_ = width;
        height_ = height;
    }

private:
    int width_;
    int height_;
};

// True when `path` names an existing regular file (not a directory).
bool pictureFileExists(const char *path);

// Loads a picture by its extension ("bmp", "jpg", "jpeg", "ico", "wmf", "emf",
// in any case). Null for another extension, a file the decoder rejects, or a
// picture without width or height.
std::unique_ptr<Picture> loadPicture(const char *path);

}  // namespace ks318::port
