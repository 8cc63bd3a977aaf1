#include "port/gdi/dib.h"

#include <bit>
#include <cstring>
#include <vector>

#include "port/picture_pixels.h"
#include "port/picture_posix.h"

namespace ks318::port::gdi {
namespace {

enum Compression : std::uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kJpeg = 4, kPng = 5, kAlphaBitFields = 6 };

struct DibHeader {
    std::int64_t width = 0;
    std::int64_t height = 0;  // below 0: rows top first
    int bitCount = 0;
    std::uint32_t compression = kRgb;
    std::uint32_t masks[3] = {0, 0, 0};
    std::vector<std::uint32_t> table;  // 0x00rrggbb, or palette indices
    std::size_t headerBytes = 0;       // header, masks and table: where packed pixels start
};

std::uint32_t packed(Colour c) { return 0xFF000000u | (c.red << 16) | (c.green << 8) | c.blue; }

// One channel of a bit-field pixel, scaled to 0..255.
std::uint32_t channel(std::uint32_t pixel, std::uint32_t mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const std::uint32_t bits = mask >> shift;
    const std::uint32_t value = (pixel & mask) >> shift;
    return bits >= 255 ? (value >> (std::bit_width(bits) - 8)) & 0xFF : value * 255 / bits;
}

std::optional<DibHeader> readHeader(ByteReader &in, DibColours colours) {
    DibHeader h;
    const std::uint32_t size = in.u32();
    if (size == 12) {
        h.width = in.u16();
        h.height = in.u16();
        in.u16();
        h.bitCount = in.u16();
    } else if (size >= 40 && size <= 1024) {
        h.width = in.s32();
        h.height = in.s32();
        in.u16();
        h.bitCount = in.u16();
        h.compression = in.u32();
        in.skip(20);  // image size, resolution, colours used and important: read again below
        if (size >= 52) {
            for (auto &mask : h.masks) mask = in.u32();
            in.skip(size - 52);
        } else if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
            for (auto &mask : h.masks) mask = in.u32();
            if (h.compression == kAlphaBitFields) in.u32();
        }
    } else {
        return std::nullopt;
    }
    if (!in.ok() || h.width <= 0 || h.height == 0) return std::nullopt;
    switch (h.bitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    case 0: if (h.compression == kJpeg || h.compression == kPng) break; return std::nullopt;
    default: return std::nullopt;
    }

    std::uint32_t used = 0;
    if (size >= 40) {
        ByteReader fields = in.slice(32, 4);
        used = fields.u32();
    }
    std::uint32_t entries = h.bitCount <= 8 && h.bitCount > 0 ? (1u << h.bitCount) : 0;
    if (used != 0 && (h.bitCount > 8 || used < entries)) entries = h.bitCount > 8 ? 0 : used;
    // Colours beyond the pixels' own (a table with a true-colour bitmap) are skipped.
    const std::size_t entrySize = colours == DibColours::paletteIndices ? 2 : (size == 12 ? 3 : 4);
    if (h.bitCount > 8 && used != 0) {
        if (!in.has(used, entrySize)) return std::nullopt;
        in.skip(static_cast<std::size_t>(used) * entrySize);
    }
    if (!in.has(entries, entrySize)) return std::nullopt;
    h.table.resize(entries);
    for (auto &entry : h.table) {
        if (colours == DibColours::paletteIndices) {
            entry = in.u16();
            continue;
        }
        const std::uint32_t blue = in.u8(), green = in.u8(), red = in.u8();
        if (entrySize == 4) in.u8();
        entry = (red << 16) | (green << 8) | blue;
    }
    h.headerBytes = in.position();
    if (!in.ok()) return std::nullopt;
    return h;
}

class Colours {
public:
    Colours(const DibHeader &h, DibColours kind, const Palette *palette) {
        for (std::uint32_t entry : h.table) {
            if (kind == DibColours::paletteIndices) {
                Colour c = kBlack;
                if (palette != nullptr && entry < palette->entries.size()) c = palette->entries[entry];
                table_.push_back(packed(c));
            } else {
                table_.push_back(0xFF000000u | entry);
            }
        }
    }
    std::uint32_t operator[](std::uint32_t index) const {
        return index < table_.size() ? table_[index] : 0xFF000000u;
    }

private:
    std::vector<std::uint32_t> table_;
};

// Uncompressed and bit-field rows.
bool readRows(const DibHeader &h, const Colours &colours, ByteReader bits, Bitmap &out) {
    const std::uint64_t stride = (static_cast<std::uint64_t>(h.width) * h.bitCount + 31) / 32 * 4;
    const std::uint64_t rows = static_cast<std::uint64_t>(h.height < 0 ? -h.height : h.height);
    if (stride == 0 || rows > bits.remaining() / stride) return false;
    std::uint32_t masks[3] = {h.masks[0], h.masks[1], h.masks[2]};
    const bool fields = h.compression == kBitFields || h.compression == kAlphaBitFields;
    if (!fields && h.bitCount == 16) masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    if (!fields && h.bitCount == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    const std::uint8_t *data = bits.bytes().data() + bits.position();
    for (std::uint64_t row = 0; row < rows; ++row) {
        const std::uint8_t *in = data + row * stride;
        const std::uint64_t y = h.height < 0 ? row : rows - 1 - row;
        std::uint32_t *line = out.argb.data() + y * static_cast<std::uint64_t>(out.width);
        for (std::int64_t x = 0; x < h.width; ++x) {
            std::uint32_t value;
            switch (h.bitCount) {
            case 1: value = colours[(in[x >> 3] >> (7 - (x & 7))) & 1]; break;
            case 4: value = colours[(in[x >> 1] >> ((x & 1) ? 0 : 4)) & 0xF]; break;
            case 8: value = colours[in[x]]; break;
            case 24: value = 0xFF000000u | (in[x * 3 + 2] << 16) | (in[x * 3 + 1] << 8) | in[x * 3]; break;
            default: {
                const std::uint32_t pixel = h.bitCount == 16 ? (in[x * 2] | (in[x * 2 + 1] << 8))
                                                             : (in[x * 4] | (in[x * 4 + 1] << 8) | (in[x * 4 + 2] << 16) |
                                                                (static_cast<std::uint32_t>(in[x * 4 + 3]) << 24));
                value = 0xFF000000u | (channel(pixel, masks[0]) << 16) | (channel(pixel, masks[1]) << 8) |
                        channel(pixel, masks[2]);
            }
            }
            line[x] = value;
        }
    }
    return true;
}

// Run-length encoded rows (bottom row first); pixels the codes skip keep colour 0.
bool readRle(const DibHeader &h, const Colours &colours, ByteReader bits, Bitmap &out) {
    if (h.height < 0 || (h.compression == kRle8) != (h.bitCount == 8) || (h.compression == kRle4) != (h.bitCount == 4))
        return false;
    const bool four = h.compression == kRle4;
    std::fill(out.argb.begin(), out.argb.end(), colours[0]);
    std::int64_t x = 0, y = h.height - 1;
    auto put = [&](std::uint32_t index) {
        if (x < h.width && y >= 0) out.argb[static_cast<std::size_t>(y * h.width + x)] = colours[index];
        ++x;
    };
    while (bits.remaining() >= 2 && y >= 0) {
        const std::uint8_t count = bits.u8(), code = bits.u8();
        if (count > 0) {
            for (int i = 0; i < count; ++i) put(four ? ((i & 1) ? code & 0xF : code >> 4) : code);
        } else if (code == 0) {
            x = 0, --y;
        } else if (code == 1) {
            break;
        } else if (code == 2) {
            x += bits.u8();
            y -= bits.u8();
        } else {
            const std::size_t bytes = four ? (code + 1) / 2 : code;
            if (bits.remaining() < bytes) return false;
            for (int i = 0; i < code; ++i) {
                const std::uint8_t b = bits.bytes()[bits.position() + (four ? i / 2 : i)];
                put(four ? ((i & 1) ? b & 0xF : b >> 4) : b);
            }
            bits.skip((bytes + 1) & ~std::size_t{1});
        }
    }
    return bits.ok();
}

// A JPEG or PNG stream as a bitmap's pixels, decoded by the picture decoders.
bool readCompressedStream(const DibHeader &h, ByteReader bits, Bitmap &out) {
    const std::uint8_t *data = bits.bytes().data() + bits.position();
    const std::size_t count = bits.remaining();
    const auto header = h.compression == kJpeg ? readJpegHeader(data, count) : readPngHeader(data, count);
    if (!header || header->width != out.width || header->height != out.height) return false;
    std::unique_ptr<Picture> picture = decodeBitmap(h.compression == kJpeg ? "jpeg" : "png", data, header->length);
    if (!picture || picture->pixelWidth() != out.width || picture->pixelHeight() != out.height) return false;
    const std::uint8_t *rgb = picture->pixels();
    for (std::size_t i = 0; i < out.argb.size(); ++i, rgb += 3)
        out.argb[i] = 0xFF000000u | (rgb[0] << 16) | (rgb[1] << 8) | rgb[2];
    return true;
}

}  // namespace

std::optional<Bitmap> readDib(ByteReader info, ByteReader bits, DibColours colours, const Palette *palette,
                              WorkBudget &budget) {
    std::optional<DibHeader> h = readHeader(info, colours);
    if (!h || !info.ok() || !bits.ok()) return std::nullopt;
    const std::int64_t rows = h->height < 0 ? -h->height : h->height;
    if (!acceptablePictureSize(h->width, rows)) {
        budget.exhaust();
        return std::nullopt;
    }
    if (!budget.spend(static_cast<std::uint64_t>(h->width * rows))) return std::nullopt;
    Bitmap out;
    out.width = static_cast<int>(h->width);
    out.height = static_cast<int>(rows);
    out.bottomUp = h->height > 0;
    out.argb.assign(static_cast<std::size_t>(h->width * rows), 0xFF000000u);
    const Colours table(*h, colours, palette);
    bool read = false;
    switch (h->compression) {
    case kRgb:
    case kBitFields:
    case kAlphaBitFields:
        read = h->bitCount > 0 && (h->compression == kRgb || h->bitCount >= 16) && readRows(*h, table, bits, out);
        break;
    case kRle8:
    case kRle4: read = readRle(*h, table, bits, out); break;
    case kJpeg:
    case kPng: read = h->height > 0 && readCompressedStream(*h, bits, out); break;
    default: break;
    }
    if (!read) return std::nullopt;
    return out;
}

std::optional<Bitmap> readPackedDib(ByteReader packedDib, DibColours colours, const Palette *palette,
                                    WorkBudget &budget) {
    ByteReader header = packedDib;
    std::optional<DibHeader> h = readHeader(header, colours);
    if (!h) return std::nullopt;
    const std::size_t start = packedDib.position();
    return readDib(packedDib.slice(start, h->headerBytes), packedDib.slice(start + h->headerBytes,
                                                                           packedDib.remaining() - h->headerBytes),
                   colours, palette, budget);
}

}  // namespace ks318::port::gdi
