// Picture files through the decoders every platform shares (bitmaps, JPEG,
// icons: picture_decoders.h, so that a file shows as it does on Linux), and
// GDI for metafiles (metafile_win32.cpp). The decoder is chosen by the extension.
#include "port/picture.h"

#include <windows.h>

#include <exception>
#include <string>

#include "port/picture_decoders.h"
#include "port/picture_win32.h"

namespace ks318::port {
namespace {

std::unique_ptr<Picture> load(const char *path, const NeededSize &needed) {
    if (path == nullptr) return nullptr;
    const std::optional<PictureFormat> format = formatByExtension(path);
    std::vector<std::uint8_t> bytes;
    if (!format || !readWholeFile(path, bytes)) return nullptr;
    std::unique_ptr<Picture> picture;
    switch (*format) {
    case PictureFormat::bmp:
    case PictureFormat::jpeg:
    case PictureFormat::ico: picture = decodeBitmapFile(*format, bytes.data(), bytes.size(), needed); break;
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

std::unique_ptr<Picture> loadPicture(const char *path, const NeededSize &needed) {
    try {
        return load(path, needed);
    } catch (const std::exception &) {  // memory ran out for some small allocation on the way
        return nullptr;
    }
}

}  // namespace ks318::port
