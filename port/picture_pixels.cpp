#include "port/picture_pixels.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "port/failure.h"

namespace ks318::port {
namespace {

std::uint32_t le16(const std::uint8_t *p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const std::uint8_t *p) { return le16(p) | (le16(p + 2) << 16); }
std::uint32_t be16(const std::uint8_t *p) { return (p[0] << 8) | p[1]; }
std::uint32_t be32(const std::uint8_t *p) { return (be16(p) << 16) | be16(p + 2); }

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;

// Walks an RLE8 or RLE4 stream from `at`: true when it reaches its end-of-bitmap
// code, or the end of its last row, inside the file.
bool rleStreamComplete(const std::uint8_t *bytes, std::size_t count, std::size_t at, bool rle8, std::int64_t rows) {
    std::int64_t row = 0;
    std::size_t p = at;
    while (count - p >= 2) {
        const std::uint8_t first = bytes[p], second = bytes[p + 1];
        p += 2;
        if (first != 0) continue;  // a run of one colour
        if (second == 0) {         // end of row
            if (++row >= rows) return true;
        } else if (second == 1) {  // end of bitmap
            return true;
        } else if (second == 2) {  // move right and down
            if (count - p < 2) return false;
            row += bytes[p + 1];
            p += 2;
            if (row >= rows) return true;
        } else {  // `second` pixels as they are, padded to a 16-bit boundary
            std::size_t length = rle8 ? second : (second + 1u) / 2;
            length += length & 1;
            if (count - p < length) return false;
            p += length;
        }
    }
    return false;
}

}  // namespace

std::unique_ptr<std::uint8_t[]> tryAllocate(std::size_t count) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[count == 0 ? 1 : count]);
}

std::string lowerExtension(const char *path) {
    const char *name = path;
    for (const char *p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\' || *p == ':') name = p + 1;
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr) return {};
    std::string extension(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

static std::optional<PictureFormat> formatOfName(const char *path) {
    const std::string extension = lowerExtension(path);
    if (extension == "bmp") return PictureFormat::bmp;
    if (extension == "jpg" || extension == "jpeg") return PictureFormat::jpeg;
    if (extension == "ico") return PictureFormat::ico;
    if (extension == "wmf") return PictureFormat::wmf;
    if (extension == "emf") return PictureFormat::emf;
    return std::nullopt;
}

std::optional<PictureFormat> formatByExtension(const char *path) {
    std::optional<PictureFormat> format = formatOfName(path);
    if (!format) noteFailure(std::string(path) + " is not a .bmp, .jpg, .jpeg, .ico, .wmf or .emf file");
    return format;
}

bool acceptablePictureSize(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) {
        noteFailure("the picture has no width or no height");
        return false;
    }
    if (width > kMaxPicturePixels || height > kMaxPicturePixels || width * height > kMaxPicturePixels) {
        noteFailure("the picture (" + std::to_string(width) + " x " + std::to_string(height) + ") has more than " +
                    std::to_string(kMaxPicturePixels) + " pixels");
        return false;
    }
    return true;
}

bool readWholeFile(const char *path, std::vector<std::uint8_t> &bytes, std::int64_t maxBytes) {
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    if (!stream) {
        noteFailure(std::string("cannot open ") + path);
        return false;
    }
    // One read of the size the file has; a file that changes meanwhile reads short and fails.
    const std::streamoff size = stream.tellg();
    if (size < 0 || size > maxBytes) {
        noteFailure(std::string(path) + " is larger than " + std::to_string(maxBytes) + " bytes");
        return false;
    }
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::exception &) {  // no memory for it
        noteFailure("no memory for the picture file");
        return false;
    }
    stream.seekg(0);
    if (size == 0 || stream.read(reinterpret_cast<char *>(bytes.data()), size).good()) return true;
    noteFailure(std::string("cannot read ") + path);
    return false;
}

std::optional<PictureHeader> readBmpHeader(const std::uint8_t *bytes, std::size_t count) {
    constexpr std::size_t kFileHeader = 14;
    if (count < kFileHeader + 16 || bytes[0] != 'B' || bytes[1] != 'M') return std::nullopt;
    const std::uint64_t dataAt = le32(bytes + 10);
    const std::uint32_t infoSize = le32(bytes + 14);
    std::int64_t width, height;
    std::uint32_t bitCount, compression;
    if (infoSize == 12) {  // core header: 16-bit sizes, no compression
        width = le16(bytes + 18);
        height = le16(bytes + 20);
        bitCount = le16(bytes + 24);
        compression = kRgb;
    } else if (infoSize >= 40 && infoSize <= 124) {
        if (count < kFileHeader + 40) return std::nullopt;
        width = static_cast<std::int32_t>(le32(bytes + 18));
        height = static_cast<std::int32_t>(le32(bytes + 22));
        bitCount = le16(bytes + 28);
        compression = le32(bytes + 30);
    } else {
        return std::nullopt;
    }
    const std::int64_t rows = height < 0 ? -height : height;  // negative: rows top first
    if (width <= 0 || rows == 0 || dataAt < kFileHeader + infoSize || dataAt > count) return std::nullopt;
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        return std::nullopt;
    // A palette of more colours than the pixels can index: the decoder sizes its
    // palette buffer from this count in 32-bit arithmetic, and a count from 2^31
    // up has it ask for gigabytes before it refuses the file.
    if (infoSize >= 40 && bitCount <= 8 && le32(bytes + 46) > (1u << bitCount)) return std::nullopt;

    bool complete;
    if (compression == kRgb || ((compression == kBitFields || compression == kAlphaBitFields) &&
                                (bitCount == 16 || bitCount == 32))) {
        const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4;
        complete = rowBytes * static_cast<std::uint64_t>(rows) <= count - dataAt;
    } else if ((compression == kRle8 && bitCount == 8) || (compression == kRle4 && bitCount == 4)) {
        complete = rleStreamComplete(bytes, count, static_cast<std::size_t>(dataAt), compression == kRle8, rows);
    } else {
        return std::nullopt;
    }
    if (!complete || width > INT32_MAX || rows > INT32_MAX) return std::nullopt;
    return PictureHeader{static_cast<int>(width), static_cast<int>(rows), count};
}

std::optional<PictureHeader> readJpegHeader(const std::uint8_t *bytes, std::size_t count) {
    if (count < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return std::nullopt;
    PictureHeader header;
    bool frame = false, scan = false;
    std::size_t p = 2;
    for (;;) {
        // The next marker. Bytes before it (the entropy-coded data after a scan
        // header, or stray bytes) are passed over, as the codec passes them over.
        const void *found = std::memchr(bytes + p, 0xFF, count - p);
        if (found == nullptr) return std::nullopt;
        p = static_cast<std::size_t>(static_cast<const std::uint8_t *>(found) - bytes);
        while (p < count && bytes[p] == 0xFF) ++p;  // fill bytes
        if (p >= count) return std::nullopt;
        const std::uint8_t marker = bytes[p++];
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // stuffed byte, TEM, RSTn
        if (marker == 0xD9) {  // end of image: the picture is whole once a scan came before it
            if (!scan) return std::nullopt;
            header.length = p;
            return header;
        }
        if (marker == 0xD8 || count - p < 2) return std::nullopt;
        const std::size_t length = be16(bytes + p);
        if (length < 2 || count - p < length) return std::nullopt;
        const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame && !frame) {
            if (length < 8) return std::nullopt;
            header.height = static_cast<int>(be16(bytes + p + 3));
            header.width = static_cast<int>(be16(bytes + p + 5));
            if (header.width == 0 || header.height == 0) return std::nullopt;
            frame = true;
        } else if (marker == 0xDA) {  // start of scan
            if (!frame) return std::nullopt;
            scan = true;
        }
        p += length;
    }
}

std::optional<PictureHeader> readPngHeader(const std::uint8_t *bytes, std::size_t count) {
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    constexpr std::size_t kChunkFrame = 12;  // length, type, and the CRC after the data
    if (count < sizeof kSignature + kChunkFrame + 13 || std::memcmp(bytes, kSignature, sizeof kSignature) != 0 ||
        be32(bytes + 8) != 13 || std::memcmp(bytes + 12, "IHDR", 4) != 0)
        return std::nullopt;
    const std::uint32_t width = be32(bytes + 16), height = be32(bytes + 20);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return std::nullopt;
    std::size_t p = sizeof kSignature;
    while (count - p >= kChunkFrame) {
        const std::uint32_t length = be32(bytes + p);
        if (length > INT32_MAX || count - p - kChunkFrame < length) return std::nullopt;
        const bool end = std::memcmp(bytes + p + 4, "IEND", 4) == 0;
        p += kChunkFrame + length;
        if (end) return PictureHeader{static_cast<int>(width), static_cast<int>(height), p};
    }
    return std::nullopt;
}

int jpegScaleDenominator(int width, int height, PixelSize needed) {
    const int neededWidth = std::max(needed.width, 1), neededHeight = std::max(needed.height, 1);
    int denominator = 1;
    for (int next = 2; next <= 8; next *= 2) {
        if (scaledLength(width, next) < neededWidth || scaledLength(height, next) < neededHeight) break;
        denominator = next;
    }
    return denominator;
}

}  // namespace ks318::port
