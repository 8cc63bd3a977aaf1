// Picture files through gdk-pixbuf (bitmaps, JPEG, icons) and the metafile
// players of metafile_posix.cpp. The decoder is chosen by the extension alone,
// never by sniffing the content.
#include "port/picture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <string>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "port/icon_file.h"
#include "port/picture_pixels.h"
#include "port/picture_posix.h"

namespace ks318::port {
namespace {

// An opaque pixbuf whose rows are already packed RGB is used as it is, without a copy.
class PixbufBitmap final : public Picture {
public:
    PixbufBitmap(int width, int height, GdkPixbuf *pixbuf)
        : Picture(width, height), pixbuf_(GDK_PIXBUF(g_object_ref(pixbuf))) {}
    ~PixbufBitmap() override { g_object_unref(pixbuf_); }
    PixbufBitmap(const PixbufBitmap &) = delete;
    PixbufBitmap &operator=(const PixbufBitmap &) = delete;
    const std::uint8_t *pixels() const override { return gdk_pixbuf_read_pixels(pixbuf_); }

private:
    GdkPixbuf *pixbuf_;
};

// Copies a decoded pixbuf into RGB, laying transparent pixels over white.
std::unique_ptr<Picture> fromPixbuf(GdkPixbuf *pixbuf) {
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if (!acceptablePictureSize(width, height)) return nullptr;
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels < (alpha ? 4 : 3)) return nullptr;
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    if (!alpha && channels == 3 && static_cast<std::int64_t>(stride) == std::int64_t{width} * 3)
        return std::make_unique<PixbufBitmap>(width, height, pixbuf);
    const guint8 *source = gdk_pixbuf_read_pixels(pixbuf);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint8_t *out = rgb.data();
    if (!alpha && channels == 3) {  // opaque rows with padding: packed row by row
        for (int y = 0; y < height; ++y, out += static_cast<std::size_t>(width) * 3)
            std::memcpy(out, source + static_cast<std::size_t>(y) * stride, static_cast<std::size_t>(width) * 3);
        return std::make_unique<RgbPicture>(width, height, std::move(rgb));
    }
    for (int y = 0; y < height; ++y) {
        const guint8 *in = source + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x, in += channels) {
            const unsigned a = alpha ? in[3] : 255u;
            for (int c = 0; c < 3; ++c) *out++ = static_cast<std::uint8_t>((in[c] * a + 255u * (255u - a) + 127u) / 255u);
        }
    }
    return std::make_unique<RgbPicture>(width, height, std::move(rgb));
}

}  // namespace

std::unique_ptr<Picture> decodeBitmap(const char *format, const std::uint8_t *bytes, std::size_t count) {
    GError *error = nullptr;
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type(format, &error);
    if (loader == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    bool written = count > 0 && gdk_pixbuf_loader_write(loader, bytes, count, &error);
    g_clear_error(&error);
    // The loader must be closed in every case; a failed close means a bad file.
    bool closed = gdk_pixbuf_loader_close(loader, &error);
    g_clear_error(&error);
    std::unique_ptr<Picture> picture;
    GdkPixbuf *pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf != nullptr) picture = fromPixbuf(pixbuf);
    g_object_unref(loader);
    return picture;
}

namespace {

// An icon file shows its largest image: a PNG image goes to the PNG decoder, a
// bitmap image to the icon decoder.
std::unique_ptr<Picture> decodeIcon(const std::vector<std::uint8_t> &file) {
    const std::optional<IconImage> image = largestIconImage(file);
    if (!image) return nullptr;
    return decodeBitmap(image->png ? "png" : "ico", image->bytes.data(), image->bytes.size());
}

}  // namespace

bool pictureFileExists(const char *path) {
    struct stat info {};
    return path != nullptr && ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

std::unique_ptr<Picture> loadPicture(const char *path) {
    if (path == nullptr) return nullptr;
    const std::string extension = lowerExtension(path);
    const bool known = extension == "bmp" || extension == "jpg" || extension == "jpeg" || extension == "ico" ||
                       extension == "wmf" || extension == "emf";
    std::vector<std::uint8_t> bytes;
    if (!known || !readWholeFile(path, bytes)) return nullptr;
    std::unique_ptr<Picture> picture;
    if (extension == "bmp") {
        picture = decodeBitmap("bmp", bytes.data(), bytes.size());
    } else if (extension == "jpg" || extension == "jpeg") {
        picture = decodeBitmap("jpeg", bytes.data(), bytes.size());
    } else if (extension == "ico") {
        picture = decodeIcon(bytes);
    } else if (extension == "wmf") {
        picture = loadWindowsMetafile(std::move(bytes));
    } else {
        picture = loadEnhancedMetafile(std::move(bytes));
    }
    if (picture && (picture->width() <= 0 || picture->height() <= 0)) return nullptr;
    return picture;
}

}  // namespace ks318::port
