// Picture files through the system's own picture support: GDI+ for bitmaps,
// JPEG and icons, GDI for metafiles (metafile_win32.cpp). The decoder is chosen
// by the extension. Each bitmap's headers are read here first (see
// picture_pixels.h): a file cut short or a picture over the pixel limit never
// reaches GDI+, which decodes every picture whole.
#include "port/picture.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <exception>
#include <initializer_list>
#include <string>

#include "port/icon_file.h"
#include "port/picture_pixels.h"
#include "port/picture_win32.h"

namespace ks318::port {
namespace {

// GDI+ is started once, on first use (never from the library's entry routine,
// where it must not be), and stays for the life of the process.
bool gdiplusStarted() {
    static const bool started = [] {
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR token = 0;
        return Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    }();
    return started;
}

struct Piece {
    const std::uint8_t *bytes;
    std::size_t size;
};

// A stream over a copy of the pieces, one after the other; released by the caller.
IStream *memoryStream(std::initializer_list<Piece> pieces) {
    std::size_t count = 0;
    for (const Piece &piece : pieces) count += piece.size;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, count);
    if (memory == nullptr) return nullptr;
    auto *target = static_cast<std::uint8_t *>(GlobalLock(memory));
    if (target == nullptr) {
        GlobalFree(memory);
        return nullptr;
    }
    for (const Piece &piece : pieces) {
        std::memcpy(target, piece.bytes, piece.size);
        target += piece.size;
    }
    GlobalUnlock(memory);
    IStream *stream = nullptr;
    if (CreateStreamOnHGlobal(memory, TRUE, &stream) != S_OK) {
        GlobalFree(memory);
        return nullptr;
    }
    return stream;
}

// The decoded bitmap as RGB, laid over white where transparent; null unless GDI+
// found the size the headers give.
std::unique_ptr<Picture> fromGdiplus(Gdiplus::Bitmap &bitmap, PixelSize own) {
    const int width = static_cast<int>(bitmap.GetWidth());
    const int height = static_cast<int>(bitmap.GetHeight());
    if (width != own.width || height != own.height || !acceptablePictureSize(width, height)) return nullptr;
    std::unique_ptr<std::uint8_t[]> rgb = tryAllocate(static_cast<std::size_t>(width) * height * 3);
    if (!rgb) return nullptr;
    Gdiplus::Rect whole(0, 0, width, height);
    Gdiplus::BitmapData data{};
    if (bitmap.LockBits(&whole, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok)
        return nullptr;
    std::uint8_t *out = rgb.get();
    for (int y = 0; y < height; ++y) {
        // Rows of blue, green, red, alpha.
        const auto *in = static_cast<const std::uint8_t *>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride;
        for (int x = 0; x < width; ++x, in += 4) {
            const unsigned a = in[3];
            for (int c = 2; c >= 0; --c) *out++ = static_cast<std::uint8_t>((in[c] * a + 255u * (255u - a) + 127u) / 255u);
        }
    }
    bitmap.UnlockBits(&data);
    return std::make_unique<RgbPicture>(width, height, width, height, std::move(rgb));
}

// GDI+ decodes the pieces, one after the other, as one picture file; it must find
// the size `own` read from the headers.
std::unique_ptr<Picture> decode(std::initializer_list<Piece> pieces, PixelSize own) {
    if (!acceptablePictureSize(own.width, own.height) || !gdiplusStarted()) return nullptr;
    IStream *stream = memoryStream(pieces);
    if (stream == nullptr) return nullptr;
    std::unique_ptr<Picture> picture;
    {
        Gdiplus::Bitmap bitmap(stream, FALSE);
        if (bitmap.GetLastStatus() == Gdiplus::Ok) picture = fromGdiplus(bitmap, own);
    }
    stream->Release();
    return picture;
}

std::unique_ptr<Picture> decodeBmp(const std::vector<std::uint8_t> &file) {
    const std::optional<PictureHeader> header = readBmpHeader(file.data(), file.size());
    if (!header) return nullptr;
    return decode({{file.data(), header->length}}, {header->width, header->height});
}

// GDI+ has no scaled decoding: a JPEG is decoded whole, and its own size counts
// against the pixel limit.
std::unique_ptr<Picture> decodeJpeg(const std::vector<std::uint8_t> &file) {
    const std::optional<PictureHeader> header = readJpegHeader(file.data(), file.size());
    if (!header) return nullptr;
    return decode({{file.data(), header->length}}, {header->width, header->height});
}

// An icon file shows its largest image: a PNG image is decoded as PNG, a bitmap
// image as an icon file of that one image.
std::unique_ptr<Picture> decodeIcon(const std::vector<std::uint8_t> &file) {
    const std::optional<IconImage> image = largestIconImage(file.data(), file.size());
    if (!image) return nullptr;
    const PixelSize own{image->width, image->height};
    if (image->png) return decode({{image->bytes, image->size}}, own);
    return decode({{image->directory.data(), image->directory.size()}, {image->bytes, image->size}}, own);
}

std::unique_ptr<Picture> load(const char *path) {
    if (path == nullptr) return nullptr;
    const std::optional<PictureFormat> format = formatByExtension(path);
    std::vector<std::uint8_t> bytes;
    if (!format || !readWholeFile(path, bytes)) return nullptr;
    std::unique_ptr<Picture> picture;
    switch (*format) {
    case PictureFormat::bmp: picture = decodeBmp(bytes); break;
    case PictureFormat::jpeg: picture = decodeJpeg(bytes); break;
    case PictureFormat::ico: picture = decodeIcon(bytes); break;
    case PictureFormat::wmf: picture = loadWindowsMetafile(bytes); break;
    case PictureFormat::emf: picture = loadEnhancedMetafile(bytes); break;
    }
    if (picture && (picture->width() <= 0 || picture->height() <= 0)) return nullptr;
    return picture;
}

}  // namespace

bool pictureFileExists(const char *path) {
    if (path == nullptr) return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::unique_ptr<Picture> loadPicture(const char *path, const NeededSize &) {
    try {
        return load(path);
    } catch (const std::exception &) {  // memory ran out for some small allocation on the way
        return nullptr;
    }
}

}  // namespace ks318::port
