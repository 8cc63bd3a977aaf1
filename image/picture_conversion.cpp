#include "image/picture_conversion.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#ifndef _WIN32
#include "port/picture_posix.h"
#endif

namespace ks318::image {

port::TargetRect fitPicture(int pictureWidth, int pictureHeight, ScreenSize screen) {
    const std::int64_t w = pictureWidth, h = pictureHeight;
    port::TargetRect target;
    if (w <= 0 || h <= 0) return target;  // nothing to draw
    if (w / h > 1) {
        target.width = screen.width;
        target.height = static_cast<int>(h * screen.width / w);
    } else {
        target.height = screen.height;
        target.width = static_cast<int>(w * screen.height / h);
    }
    target.x = screen.width / 2 - target.width / 2;
    target.y = screen.height / 2 - target.height / 2;
    return target;
}

void stretchNearest(const std::uint8_t *rgb, int width, int height, port::RgbCanvas &canvas,
                    const port::TargetRect &target) {
    if (target.width <= 0 || target.height <= 0) return;
    const int left = std::max(target.x, 0), right = std::min<std::int64_t>(std::int64_t{target.x} + target.width, canvas.width);
    const int top = std::max(target.y, 0), bottom = std::min<std::int64_t>(std::int64_t{target.y} + target.height, canvas.height);
    for (int cy = top; cy < bottom; ++cy) {
        const std::int64_t sy = std::int64_t{cy - target.y} * height / target.height;
        const std::uint8_t *sourceRow = rgb + static_cast<std::size_t>(sy) * width * 3;
        for (int cx = left; cx < right; ++cx) {
            const std::int64_t sx = std::int64_t{cx - target.x} * width / target.width;
            std::memcpy(canvas.pixel(cx, cy), sourceRow + sx * 3, 3);
        }
    }
}

bool drawPicture(const port::Picture &picture, port::RgbCanvas &canvas) {
    // The picture's own size places it; its pixels may be fewer (decoded at a reduced scale).
    const port::TargetRect target = fitPicture(picture.width(), picture.height(), {canvas.width, canvas.height});
    if (picture.pixels() != nullptr) {
        stretchNearest(picture.pixels(), picture.pixelWidth(), picture.pixelHeight(), canvas, target);
        return true;
    }
    return picture.play(canvas, target);
}

port::PixelSize neededPixels(int pictureWidth, int pictureHeight, ScreenSize screen) {
    const port::TargetRect target = fitPicture(pictureWidth, pictureHeight, screen);
    return {target.width, target.height};
}

namespace {

// Draws what `load` gives (asked for the pixels the screen needs) and reduces its
// colours; false when it gives nothing.
template <typename Load>
bool convertLoaded(ScreenSize screen, TerminalImage &image, Load &&load) {
    try {
        port::RgbCanvas canvas(screen.width, screen.height);
        {
            const port::NeededSize needed = [screen](int width, int height) {
                return neededPixels(width, height, screen);
            };
            std::unique_ptr<port::Picture> picture = load(needed);
            if (!picture || !drawPicture(*picture, canvas)) return false;
        }
        return reduceColours(canvas, image);
    } catch (const std::exception &) {  // memory ran out on the way
        return false;
    }
}

}  // namespace

bool convertPictureFile(const char *path, ScreenSize screen, TerminalImage &image) {
    return convertLoaded(screen, image,
                         [path](const port::NeededSize &needed) { return port::loadPicture(path, needed); });
}

#ifndef _WIN32
bool convertPictureBytes(port::PictureFormat format, std::vector<std::uint8_t> bytes, ScreenSize screen,
                         TerminalImage &image) {
    return convertLoaded(screen, image, [format, &bytes](const port::NeededSize &needed) {
        return port::decodePicture(format, std::move(bytes), needed);
    });
}
#endif

}  // namespace ks318::image
