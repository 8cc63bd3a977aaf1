// Picture files through gdk-pixbuf (bitmaps, JPEG, icons) and the metafile
// players of metafile_posix.cpp. The decoder is chosen by the extension alone,
// never by sniffing the content. Each bitmap's headers are read here first (see
// picture_pixels.h): a file cut short or a picture over the pixel limit never
// reaches the decoder, and a large JPEG is decoded at a reduced scale by the
// JPEG codec itself.
#include "port/picture.h"

#include <sys/stat.h>

#include <cstring>
#include <exception>
#include <initializer_list>
#include <string>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "port/icon_file.h"
#include "port/picture_pixels.h"
#include "port/picture_posix.h"

namespace ks318::port {
namespace {

// A decoded pixbuf whose pixels are packed RGB rows (see packPixels), used
// without a copy.
class PixbufBitmap final : public Picture {
public:
    PixbufBitmap(int width, int height, GdkPixbuf *pixbuf)
        : Picture(width, height, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf)),
          pixbuf_(GDK_PIXBUF(g_object_ref(pixbuf))) {}
    ~PixbufBitmap() override { g_object_unref(pixbuf_); }
    PixbufBitmap(const PixbufBitmap &) = delete;
    PixbufBitmap &operator=(const PixbufBitmap &) = delete;
    const std::uint8_t *pixels() const override { return gdk_pixbuf_read_pixels(pixbuf_); }

private:
    GdkPixbuf *pixbuf_;
};

// Rewrites a decoded pixbuf's pixels in its own memory as RGB rows without
// padding, laying transparent pixels over white: each pixel is written no later
// in the buffer than it was read from, so nothing unread is overwritten.
// False for a pixbuf of another sample layout.
bool packPixels(GdkPixbuf *pixbuf) {
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels < (alpha ? 4 : 3)) return false;
    const std::size_t stride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(pixbuf));
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    if (!alpha && channels == 3 && stride == rowBytes) return true;
    guint8 *pixels = gdk_pixbuf_get_pixels(pixbuf);
    std::uint8_t *out = pixels;
    for (int y = 0; y < height; ++y) {
        const guint8 *in = pixels + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x, in += channels, out += 3) {
            const unsigned a = alpha ? in[3] : 255u;
            const unsigned r = in[0], g = in[1], b = in[2];
            out[0] = static_cast<std::uint8_t>((r * a + 255u * (255u - a) + 127u) / 255u);
            out[1] = static_cast<std::uint8_t>((g * a + 255u * (255u - a) + 127u) / 255u);
            out[2] = static_cast<std::uint8_t>((b * a + 255u * (255u - a) + 127u) / 255u);
        }
    }
    return true;
}

struct Piece {
    const std::uint8_t *bytes;
    std::size_t size;
};

// The size the decoder finds in the headers, checked against the one read here.
struct ExpectedSize {
    int width;
    int height;
    bool agrees = true;
};

void compareSize(GdkPixbufLoader *, gint width, gint height, gpointer data) {
    auto *expected = static_cast<ExpectedSize *>(data);
    if (width != expected->width || height != expected->height) expected->agrees = false;
}

// Feeds the pieces, in order, to the gdk-pixbuf decoder of the format. With a
// size `own` (read from the headers), the decoder must find the same, and the
// picture is decoded as `decoded` pixels: the JPEG decoder reaches a reduced
// size through the codec's own scaled decoding. Without one (0 × 0), the
// picture decodes at whatever size the decoder finds.
std::unique_ptr<Picture> decode(const char *format, std::initializer_list<Piece> pieces, PixelSize own,
                                PixelSize decoded) {
    GError *error = nullptr;
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type(format, &error);
    if (loader == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    const bool sized = own.width > 0 && own.height > 0;
    ExpectedSize expected{own.width, own.height};
    if (sized) {
        g_signal_connect(loader, "size-prepared", G_CALLBACK(compareSize), &expected);
        if (decoded.width != own.width || decoded.height != own.height)
            gdk_pixbuf_loader_set_size(loader, decoded.width, decoded.height);
    }
    // A failed write closes the loader; nothing more is written to it then.
    bool written = true;
    for (const Piece &piece : pieces) {
        written = piece.size > 0 && gdk_pixbuf_loader_write(loader, piece.bytes, piece.size, &error);
        g_clear_error(&error);
        if (!written) break;
    }
    // The loader must be closed in every case; a failed close means a bad file.
    const bool closed = gdk_pixbuf_loader_close(loader, &error);
    g_clear_error(&error);
    std::unique_ptr<Picture> picture;
    GdkPixbuf *pixbuf = written && closed && expected.agrees ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf != nullptr) {
        const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
        const bool asAsked = !sized || (width == decoded.width && height == decoded.height);
        if (asAsked && acceptablePictureSize(width, height) && packPixels(pixbuf))
            picture = std::make_unique<PixbufBitmap>(sized ? own.width : width, sized ? own.height : height, pixbuf);
    }
    g_object_unref(loader);
    return picture;
}

std::unique_ptr<Picture> decodeBmp(const std::vector<std::uint8_t> &file) {
    const std::optional<PictureHeader> header = readBmpHeader(file.data(), file.size());
    if (!header || !acceptablePictureSize(header->width, header->height)) return nullptr;
    const PixelSize own{header->width, header->height};
    return decode("bmp", {{file.data(), header->length}}, own, own);
}

// The JPEG codec decodes at 1/2, 1/4 or 1/8 scale when that still gives the
// pixels needed; the pixel limit applies to the pixels decoded.
std::unique_ptr<Picture> decodeJpeg(const std::vector<std::uint8_t> &file, const NeededSize &needed) {
    const std::optional<PictureHeader> header = readJpegHeader(file.data(), file.size());
    if (!header) return nullptr;
    const PixelSize own{header->width, header->height};
    const int denominator = needed ? jpegScaleDenominator(own.width, own.height, needed(own.width, own.height)) : 1;
    const PixelSize decoded{scaledLength(own.width, denominator), scaledLength(own.height, denominator)};
    if (!acceptablePictureSize(decoded.width, decoded.height)) return nullptr;
    return decode("jpeg", {{file.data(), header->length}}, own, decoded);
}

// An icon file shows its largest image: a PNG image goes to the PNG decoder, a
// bitmap image to the icon decoder as an icon file of that one image.
std::unique_ptr<Picture> decodeIcon(const std::vector<std::uint8_t> &file) {
    const std::optional<IconImage> image = largestIconImage(file.data(), file.size());
    if (!image || !acceptablePictureSize(image->width, image->height)) return nullptr;
    const PixelSize own{image->width, image->height};
    if (image->png) return decode("png", {{image->bytes, image->size}}, own, own);
    return decode("ico", {{image->directory.data(), image->directory.size()}, {image->bytes, image->size}}, own, own);
}

std::unique_ptr<Picture> load(const char *path, const NeededSize &needed) {
    if (path == nullptr) return nullptr;
    const std::optional<PictureFormat> format = formatByExtension(path);
    std::vector<std::uint8_t> bytes;
    if (!format || !readWholeFile(path, bytes)) return nullptr;
    return decodePicture(*format, std::move(bytes), needed);
}

}  // namespace

std::unique_ptr<Picture> decodeBitmap(const char *format, const std::uint8_t *bytes, std::size_t count) {
    return decode(format, {{bytes, count}}, {}, {});
}

std::unique_ptr<Picture> decodePicture(PictureFormat format, std::vector<std::uint8_t> bytes,
                                       const NeededSize &needed) {
    try {
        std::unique_ptr<Picture> picture;
        switch (format) {
        case PictureFormat::bmp: picture = decodeBmp(bytes); break;
        case PictureFormat::jpeg: picture = decodeJpeg(bytes, needed); break;
        case PictureFormat::ico: picture = decodeIcon(bytes); break;
        case PictureFormat::wmf: picture = loadWindowsMetafile(std::move(bytes)); break;
        case PictureFormat::emf: picture = loadEnhancedMetafile(std::move(bytes)); break;
        }
        if (picture && (picture->width() <= 0 || picture->height() <= 0)) return nullptr;
        return picture;
    } catch (const std::exception &) {  // memory ran out for some small allocation on the way
        return nullptr;
    }
}

bool pictureFileExists(const char *path) {
    struct stat info {};
    return path != nullptr && ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

std::unique_ptr<Picture> loadPicture(const char *path, const NeededSize &needed) {
    try {
        return load(path, needed);
    } catch (const std::exception &) {  // memory ran out for some small allocation on the way
        return nullptr;
    }
}

}  // namespace ks318::port
