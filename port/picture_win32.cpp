// Picture files through the system's own picture support: GDI+ for bitmaps,
// JPEG and icons, GDI for metafiles (metafile_win32.cpp). The decoder is chosen
// by the extension.
#include "port/picture.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
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

bool startsAs(BitmapFormat format, const std::uint8_t *bytes, std::size_t count) {
    static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    switch (format) {
    case BitmapFormat::bmp: return count >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
    case BitmapFormat::jpeg: return count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
    case BitmapFormat::ico: return count >= 4 && bytes[0] == 0 && bytes[1] == 0 && (bytes[2] == 1 || bytes[2] == 2);
    case BitmapFormat::png: return count >= sizeof kPng && std::memcmp(bytes, kPng, sizeof kPng) == 0;
    }
    return false;
}

// A stream over a copy of the bytes, released by the caller.
IStream *memoryStream(const std::uint8_t *bytes, std::size_t count) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, count);
    if (memory == nullptr) return nullptr;
    void *target = GlobalLock(memory);
    if (target == nullptr) {
        GlobalFree(memory);
        return nullptr;
    }
    std::memcpy(target, bytes, count);
    GlobalUnlock(memory);
    IStream *stream = nullptr;
    if (CreateStreamOnHGlobal(memory, TRUE, &stream) != S_OK) {
        GlobalFree(memory);
        return nullptr;
    }
    return stream;
}

std::unique_ptr<Picture> fromGdiplus(Gdiplus::Bitmap &bitmap) {
    const int width = static_cast<int>(bitmap.GetWidth());
    const int height = static_cast<int>(bitmap.GetHeight());
    if (!acceptablePictureSize(width, height)) return nullptr;
    Gdiplus::Rect whole(0, 0, width, height);
    Gdiplus::BitmapData data{};
    if (bitmap.LockBits(&whole, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok)
        return nullptr;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint8_t *out = rgb.data();
    for (int y = 0; y < height; ++y) {
        // Rows of blue, green, red, alpha.
        const auto *in = static_cast<const std::uint8_t *>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride;
        for (int x = 0; x < width; ++x, in += 4) {
            const unsigned a = in[3];
            for (int c = 2; c >= 0; --c) *out++ = static_cast<std::uint8_t>((in[c] * a + 255u * (255u - a) + 127u) / 255u);
        }
    }
    bitmap.UnlockBits(&data);
    return std::make_unique<RgbPicture>(width, height, std::move(rgb));
}

std::unique_ptr<Picture> decodeIcon(const std::vector<std::uint8_t> &file) {
    const std::optional<IconImage> image = largestIconImage(file);
    if (!image) return nullptr;
    return decodeBitmap(image->png ? BitmapFormat::png : BitmapFormat::ico, image->bytes.data(), image->bytes.size());
}

}  // namespace

std::unique_ptr<Picture> decodeBitmap(BitmapFormat format, const std::uint8_t *bytes, std::size_t count) {
    if (!startsAs(format, bytes, count) || !gdiplusStarted()) return nullptr;
    IStream *stream = memoryStream(bytes, count);
    if (stream == nullptr) return nullptr;
    std::unique_ptr<Picture> picture;
    {
        Gdiplus::Bitmap bitmap(stream, FALSE);
        if (bitmap.GetLastStatus() == Gdiplus::Ok) picture = fromGdiplus(bitmap);
    }
    stream->Release();
    return picture;
}

bool pictureFileExists(const char *path) {
    if (path == nullptr) return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
        picture = decodeBitmap(BitmapFormat::bmp, bytes.data(), bytes.size());
    } else if (extension == "jpg" || extension == "jpeg") {
        picture = decodeBitmap(BitmapFormat::jpeg, bytes.data(), bytes.size());
    } else if (extension == "ico") {
        picture = decodeIcon(bytes);
    } else if (extension == "wmf") {
        picture = loadWindowsMetafile(bytes);
    } else {
        picture = loadEnhancedMetafile(bytes);
    }
    if (picture && (picture->width() <= 0 || picture->height() <= 0)) return nullptr;
    return picture;
}

}  // namespace ks318::port
