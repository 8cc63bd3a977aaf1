// Picture files through the decoders every platform shares (bitmaps, JPEG,
// icons: picture_decoders.h) and the metafile players of metafile_posix.cpp.
// The decoder is chosen by the extension alone, never by sniffing the content.
#include "port/picture.h"

#include <sys/stat.h>

#include <exception>
#include <string>

#include "port/picture_decoders.h"
#include "port/picture_posix.h"

namespace ks318::port {
namespace {

std::unique_ptr<Picture> load(const char *path, const NeededSize &needed) {
    if (path == nullptr) return nullptr;
    const std::optional<PictureFormat> format = formatByExtension(path);
    std::vector<std::uint8_t> bytes;
    if (!format || !readWholeFile(path, bytes)) return nullptr;
    return decodePicture(*format, std::move(bytes), needed);
}

}  // namespace

std::unique_ptr<Picture> decodeBitmap(const char *format, const std::uint8_t *bytes, std::size_t count) {
    const std::string name = format;
    if (name == "png") return decodePng(bytes, count);
    if (name == "jpeg") return decodeJpeg(bytes, count, {}, false);
    if (name == "bmp") return decodeBmp(bytes, count);
    if (name == "ico") return decodeBitmapFile(PictureFormat::ico, bytes, count, {});
    return nullptr;
}

std::unique_ptr<Picture> decodePicture(PictureFormat format, std::vector<std::uint8_t> bytes,
                                       const NeededSize &needed) {
    try {
        std::unique_ptr<Picture> picture;
        switch (format) {
        case PictureFormat::bmp:
        case PictureFormat::jpeg:
        case PictureFormat::ico: picture = decodeBitmapFile(format, bytes.data(), bytes.size(), needed); break;
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
