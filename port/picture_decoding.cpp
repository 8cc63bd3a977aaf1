// The bitmap formats of whole files, each to its decoder (picture_decoders.h).
#include "port/icon_file.h"
#include "port/picture_decoders.h"

namespace ks318::port {

std::unique_ptr<Picture> decodeBitmapFile(PictureFormat format, const std::uint8_t *bytes, std::size_t count,
                                          const NeededSize &needed) {
    switch (format) {
    case PictureFormat::bmp: return decodeBmp(bytes, count);
    case PictureFormat::jpeg: return decodeJpeg(bytes, count, needed, true);
    case PictureFormat::ico: {
        // An icon file shows its largest image.
        const std::optional<IconImage> image = largestIconImage(bytes, count);
        if (!image || !acceptablePictureSize(image->width, image->height)) return nullptr;
        std::unique_ptr<Picture> picture = image->png ? decodePng(image->bytes, image->size) : decodeIconBitmap(*image);
        // The picture must be the size the icon's own headers give.
        if (picture && (picture->width() != image->width || picture->height() != image->height)) return nullptr;
        return picture;
    }
    case PictureFormat::wmf:
    case PictureFormat::emf: return nullptr;
    }
    return nullptr;
}

}  // namespace ks318::port
