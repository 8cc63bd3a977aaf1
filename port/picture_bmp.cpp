// BMP files and the bitmap images of icons, decoded here rather than by a
// platform's decoder so that every platform shows the same pixels. The headers
// have been read (readBmpHeader, largestIconImage): the rows, or the RLE stream,
// are known to be in the file.
#include <algorithm>
#include <array>
#include <cstring>

#include "port/failure.h"
#include "port/picture_decoders.h"

namespace ks318::port {
namespace {

std::uint32_t le16(const std::uint8_t *p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const std::uint8_t *p) { return le16(p) | (le16(p + 2) << 16); }

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6;

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0;
};

// A channel given by a bit mask, scaled to 8 bits.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;

    explicit Channel(std::uint32_t m = 0) : mask(m) {
        if (mask == 0) return;
        while (((mask >> shift) & 1u) == 0) ++shift;
        max = mask >> shift;
    }
    unsigned operator()(std::uint32_t value) const {
        if (max == 0) return 0;
        return static_cast<unsigned>((std::uint64_t{(value & mask) >> shift} * 255 + max / 2) / max);
    }
};

// What a bitmap's header says about its pixels.
struct Layout {
    std::int64_t width = 0;
    std::int64_t rows = 0;
    bool topDown = false;
    std::uint32_t bitCount = 0;
    std::uint32_t compression = kRgb;
    std::array<Colour, 256> palette{};
    Channel red, green, blue, alpha;
};

// The header at `info` (core or info header, its colour masks and colour table);
// `end` bounds the table. Rows are `height` as the header gives it, halved for an icon.
bool readLayout(const std::uint8_t *info, const std::uint8_t *end, bool icon, Layout &out) {
    const std::uint32_t infoSize = le32(info);
    std::uint32_t colours = 0;
    std::int64_t height;
    std::size_t entryBytes = 4;
    if (infoSize == 12) {
        out.width = le16(info + 4);
        height = le16(info + 6);
        out.bitCount = le16(info + 10);
        entryBytes = 3;
    } else {
        out.width = static_cast<std::int32_t>(le32(info + 4));
        height = static_cast<std::int32_t>(le32(info + 8));
        out.bitCount = le16(info + 14);
        out.compression = le32(info + 16);
        colours = le32(info + 32);
    }
    out.topDown = height < 0;
    out.rows = height < 0 ? -height : height;
    if (icon) out.rows /= 2;
    const std::uint8_t *table = info + infoSize;
    // Masks: in the header from the V2 header on; after a 40-byte header, before the table.
    if (out.compression == kBitFields || out.compression == kAlphaBitFields) {
        const std::uint8_t *masks = infoSize >= 52 ? info + 40 : table;
        const std::size_t maskCount = out.compression == kAlphaBitFields || infoSize >= 56 ? 4 : 3;
        if (masks + 4 * maskCount > end) return false;
        out.red = Channel(le32(masks));
        out.green = Channel(le32(masks + 4));
        out.blue = Channel(le32(masks + 8));
        if (maskCount == 4) out.alpha = Channel(le32(masks + 12));
        if (infoSize == 40) table += 4 * maskCount;
    } else if (out.bitCount == 16) {
        out.red = Channel(0x7C00), out.green = Channel(0x03E0), out.blue = Channel(0x001F);
    } else if (out.bitCount == 32) {
        out.red = Channel(0xFF0000), out.green = Channel(0xFF00), out.blue = Channel(0xFF);
    }
    if (out.bitCount <= 8) {
        const std::uint32_t count = std::min<std::uint32_t>(colours != 0 ? colours : 1u << out.bitCount, 256);
        // Entries past the file's end, or past the count, stay black.
        for (std::uint32_t i = 0; i < count && table + (i + 1) * entryBytes <= end; ++i)
            out.palette[i] = {table[i * entryBytes + 2], table[i * entryBytes + 1], table[i * entryBytes]};
    }
    return true;
}

// Decoded pixels: RGB, and for each pixel whether the file gave it an alpha.
struct Canvas {
    int width;
    int height;
    std::unique_ptr<std::uint8_t[]> rgb;
    std::unique_ptr<std::uint8_t[]> alpha;  // only when the bitmap has an alpha channel

    std::uint8_t *at(std::int64_t x, std::int64_t y) { return rgb.get() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

void put(std::uint8_t *to, Colour c) {
    to[0] = c.r, to[1] = c.g, to[2] = c.b;
}

// One uncompressed row of `layout.width` pixels into output row `y`.
void readRow(const std::uint8_t *row, const Layout &layout, Canvas &canvas, std::int64_t y) {
    std::uint8_t *out = canvas.at(0, y);
    std::uint8_t *alpha = canvas.alpha ? canvas.alpha.get() + static_cast<std::size_t>(y) * canvas.width : nullptr;
    for (std::int64_t x = 0; x < layout.width; ++x, out += 3) {
        switch (layout.bitCount) {
        case 1:
        case 4:
        case 8: {
            const std::uint32_t bits = layout.bitCount, perByte = 8 / bits;
            const std::uint32_t byte = row[x / perByte];
            const std::uint32_t index = (byte >> (8 - bits - bits * (x % perByte))) & ((1u << bits) - 1);
            put(out, layout.palette[index]);
            break;
        }
        case 24: put(out, {row[x * 3 + 2], row[x * 3 + 1], row[x * 3]}); break;
        default: {
            const std::uint32_t value = layout.bitCount == 16 ? le16(row + x * 2) : le32(row + x * 4);
            out[0] = static_cast<std::uint8_t>(layout.red(value));
            out[1] = static_cast<std::uint8_t>(layout.green(value));
            out[2] = static_cast<std::uint8_t>(layout.blue(value));
            if (alpha != nullptr) alpha[x] = static_cast<std::uint8_t>(layout.alpha(value));
        }
        }
    }
}

// The file's row that shows as row `y`, top first.
std::int64_t fileRow(const Layout &layout, std::int64_t y) { return layout.topDown ? y : layout.rows - 1 - y; }

void readRows(const std::uint8_t *data, const Layout &layout, Canvas &canvas) {
    const std::size_t rowBytes = (static_cast<std::size_t>(layout.width) * layout.bitCount + 31) / 32 * 4;
    for (std::int64_t y = 0; y < layout.rows; ++y)
        readRow(data + static_cast<std::size_t>(fileRow(layout, y)) * rowBytes, layout, canvas, y);
}

// An RLE8 or RLE4 stream; pixels it skips or never reaches keep palette colour 0.
void readRle(const std::uint8_t *p, const std::uint8_t *end, const Layout &layout, Canvas &canvas) {
    const bool four = layout.compression == kRle4;
    for (std::int64_t y = 0; y < layout.rows; ++y)
        for (std::int64_t x = 0; x < layout.width; ++x) put(canvas.at(x, y), layout.palette[0]);
    std::int64_t x = 0, row = 0;  // row counts from the first the stream gives
    const auto set = [&](std::uint32_t index) {
        if (x < layout.width && row < layout.rows) put(canvas.at(x, fileRow(layout, row)), layout.palette[index]);
        ++x;
    };
    while (end - p >= 2 && row < layout.rows) {
        const std::uint8_t count = p[0], code = p[1];
        p += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i) set(four ? ((i & 1) ? code & 0xF : code >> 4) : code);
        } else if (code == 0) {
            x = 0, ++row;
        } else if (code == 1) {
            break;
        } else if (code == 2) {
            if (end - p < 2) break;
            x += p[0];
            row += p[1];
            p += 2;
        } else {
            const std::size_t bytes = four ? (code + 1u) / 2 : code;
            if (static_cast<std::size_t>(end - p) < bytes) break;
            for (int i = 0; i < code; ++i) {
                const std::uint8_t b = p[four ? i / 2 : i];
                set(four ? ((i & 1) ? b & 0xF : b >> 4) : b);
            }
            p += (bytes + 1) & ~std::size_t{1};
        }
    }
}

std::unique_ptr<Picture> toPicture(Canvas &canvas) {
    return std::make_unique<RgbPicture>(canvas.width, canvas.height, canvas.width, canvas.height,
                                        std::move(canvas.rgb));
}

bool allocate(Canvas &canvas, const Layout &layout, bool withAlpha) {
    if (!acceptablePictureSize(layout.width, layout.rows)) return false;
    canvas.width = static_cast<int>(layout.width);
    canvas.height = static_cast<int>(layout.rows);
    const std::size_t pixels = static_cast<std::size_t>(canvas.width) * canvas.height;
    canvas.rgb = tryAllocate(pixels * 3);
    if (withAlpha) canvas.alpha = tryAllocate(pixels);
    if (!canvas.rgb || (withAlpha && !canvas.alpha)) {
        noteFailure("no memory for the picture's pixels");
        return false;
    }
    return true;
}

// True when every pixel's alpha is 0: a file that leaves the channel unused.
bool alphaUnused(const Canvas &canvas) {
    const std::uint8_t *alpha = canvas.alpha.get();
    return std::all_of(alpha, alpha + static_cast<std::size_t>(canvas.width) * canvas.height,
                       [](std::uint8_t a) { return a == 0; });
}

// Lays the pixels over white by their alpha.
void applyAlpha(Canvas &canvas) {
    const std::size_t pixels = static_cast<std::size_t>(canvas.width) * canvas.height;
    const std::uint8_t *alpha = canvas.alpha.get();
    std::uint8_t *rgb = canvas.rgb.get();
    for (std::size_t i = 0; i < pixels; ++i, rgb += 3)
        for (int c = 0; c < 3; ++c) rgb[c] = overWhite(rgb[c], alpha[i]);
}

}  // namespace

std::unique_ptr<Picture> decodeBmp(const std::uint8_t *bytes, std::size_t count) {
    const std::optional<PictureHeader> header = readBmpHeader(bytes, count);
    if (!header) return nullptr;
    constexpr std::size_t kFileHeader = 14;
    Layout layout;
    if (!readLayout(bytes + kFileHeader, bytes + count, false, layout)) return nullptr;
    const bool withAlpha = layout.alpha.mask != 0 && (layout.bitCount == 16 || layout.bitCount == 32);
    Canvas canvas;
    if (!allocate(canvas, layout, withAlpha)) return nullptr;
    const std::uint8_t *data = bytes + le32(bytes + 10);
    if (layout.compression == kRle8 || layout.compression == kRle4)
        readRle(data, bytes + count, layout, canvas);
    else
        readRows(data, layout, canvas);
    if (withAlpha && !alphaUnused(canvas)) applyAlpha(canvas);
    return toPicture(canvas);
}

std::unique_ptr<Picture> decodeIconBitmap(const IconImage &image) {
    Layout layout;
    const std::uint8_t *end = image.bytes + image.size;
    if (image.png || !readLayout(image.bytes, end, true, layout) || layout.compression != kRgb) return nullptr;
    // 32-bit images carry alpha in their fourth byte.
    if (layout.bitCount == 32) layout.alpha = Channel(0xFF000000u);
    Canvas canvas;
    if (!allocate(canvas, layout, true)) return nullptr;
    const std::uint32_t infoSize = le32(image.bytes);
    const std::size_t tableBytes =
        layout.bitCount <= 8 ? std::size_t{le32(image.bytes + 32) != 0 ? le32(image.bytes + 32) : 1u << layout.bitCount} * 4 : 0;
    const std::uint8_t *colourRows = image.bytes + infoSize + tableBytes;
    const std::size_t rowBytes = (static_cast<std::size_t>(layout.width) * layout.bitCount + 31) / 32 * 4;
    const std::uint8_t *maskRows = colourRows + rowBytes * static_cast<std::size_t>(layout.rows);
    const std::size_t maskBytes = (static_cast<std::size_t>(layout.width) + 31) / 32 * 4;
    std::memset(canvas.alpha.get(), 255, static_cast<std::size_t>(canvas.width) * canvas.height);
    readRows(colourRows, layout, canvas);
    if (layout.bitCount != 32 || alphaUnused(canvas)) {
        // The mask: a set bit is a transparent pixel.
        for (std::int64_t y = 0; y < layout.rows; ++y) {
            const std::uint8_t *mask = maskRows + static_cast<std::size_t>(fileRow(layout, y)) * maskBytes;
            std::uint8_t *row = canvas.alpha.get() + static_cast<std::size_t>(y) * canvas.width;
            for (std::int64_t x = 0; x < layout.width; ++x) row[x] = (mask[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
        }
    }
    applyAlpha(canvas);
    return toPicture(canvas);
}

}  // namespace ks318::port
