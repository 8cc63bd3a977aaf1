// PNG streams (the images of icons, and of metafiles' bitmap records) through
// libpng, the same code on every platform.
#include <png.h>

#include "port/failure.h"
#include "port/picture_decoders.h"

namespace ks318::port {

std::unique_ptr<Picture> decodePng(const std::uint8_t *bytes, std::size_t count) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes, count)) return nullptr;
    if (!acceptablePictureSize(image.width, image.height)) {
        png_image_free(&image);
        return nullptr;
    }
    // Read as 8-bit RGBA, then packed in place to RGB over white: each pixel is
    // written no later in the buffer than it was read from.
    image.format = PNG_FORMAT_RGBA;
    const std::size_t pixels = static_cast<std::size_t>(image.width) * image.height;
    std::unique_ptr<std::uint8_t[]> rgba = tryAllocate(pixels * 4);
    if (!rgba) {
        png_image_free(&image);
        noteFailure("no memory for the picture's pixels");
        return nullptr;
    }
    if (!png_image_finish_read(&image, nullptr, rgba.get(), 0, nullptr)) return nullptr;
    std::uint8_t *out = rgba.get();
    for (std::size_t i = 0; i < pixels; ++i, out += 3) {
        const std::uint8_t *in = rgba.get() + i * 4;
        const unsigned a = in[3];
        const std::uint8_t r = overWhite(in[0], a), g = overWhite(in[1], a), b = overWhite(in[2], a);
        out[0] = r, out[1] = g, out[2] = b;
    }
    const int width = static_cast<int>(image.width), height = static_cast<int>(image.height);
    return std::make_unique<RgbPicture>(width, height, width, height, std::move(rgba));
}

}  // namespace ks318::port
