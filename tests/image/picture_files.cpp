#include "tests/image/picture_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <jpeglib.h>
#include <png.h>

namespace ks318::test {
namespace {

std::uint32_t colourRef(Rgb c) { return c.r | (c.g << 8) | (c.b << 16); }

// The BITMAPINFOHEADER of an uncompressed bitmap.
void putInfoHeader(FileBytes &out, int width, int height, int bitCount, std::uint32_t imageBytes) {
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(width));
    put32(out, static_cast<std::uint32_t>(height));
    put16(out, 1);
    put16(out, static_cast<std::uint32_t>(bitCount));
    put32(out, 0);
    put32(out, imageBytes);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
}

}  // namespace

TestPicture::TestPicture(int w, int h, Rgb fill)
    : width(w), height(h), colour(static_cast<std::size_t>(w) * h, fill), alpha(colour.size(), 255) {}

void TestPicture::set(int x, int y, Rgb c, std::uint8_t a) {
    colour[static_cast<std::size_t>(y) * width + x] = c;
    alpha[static_cast<std::size_t>(y) * width + x] = a;
}

void TestPicture::paintColumns(int x0, int x1, Rgb c) {
    for (int y = 0; y < height; ++y)
        for (int x = x0; x < x1; ++x) set(x, y, c);
}

FileBytes bmpFile(const TestPicture &picture) {
    const int rowBytes = (picture.width * 3 + 3) & ~3;
    const std::uint32_t imageBytes = static_cast<std::uint32_t>(rowBytes) * picture.height;
    FileBytes out{'B', 'M'};
    put32(out, 54 + imageBytes);
    put32(out, 0);
    put32(out, 54);
    putInfoHeader(out, picture.width, picture.height, 24, imageBytes);
    for (int y = picture.height - 1; y >= 0; --y) {
        for (int x = 0; x < picture.width; ++x) {
            Rgb c = picture.colour[static_cast<std::size_t>(y) * picture.width + x];
            out.insert(out.end(), {c.b, c.g, c.r});
        }
        out.resize(out.size() + static_cast<std::size_t>(rowBytes - picture.width * 3), 0);
    }
    return out;
}

namespace {

// Encodes width × height pixels, asking colourAt row by row, so no whole copy of
// a large picture is held.
FileBytes encodeJpeg(int width, int height, int quality, bool progressive,
                     const std::function<Rgb(int x, int y)> &colourAt) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr error{};
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < width; ++x) {
            const Rgb c = colourAt(x, y);
            row[x * 3] = c.r;
            row[x * 3 + 1] = c.g;
            row[x * 3 + 2] = c.b;
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    FileBytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

}  // namespace

FileBytes jpegFile(const TestPicture &picture, int quality, bool progressive) {
    return encodeJpeg(picture.width, picture.height, quality, progressive, [&](int x, int y) {
        return picture.colour[static_cast<std::size_t>(y) * picture.width + x];
    });
}

FileBytes jpegFileOf(int width, int height, int quality, const std::function<Rgb(int x, int y)> &colourAt) {
    return encodeJpeg(width, height, quality, false, colourAt);
}

FileBytes bmpHeader(int width, int height, int bitCount) {
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * bitCount / 8 + 3) & ~3u;
    const std::uint32_t imageBytes = rowBytes * static_cast<std::uint32_t>(height);
    FileBytes out{'B', 'M'};
    put32(out, 54 + imageBytes);
    put32(out, 0);
    put32(out, 54);
    putInfoHeader(out, width, height, bitCount, imageBytes);
    return out;
}

FileBytes bmpRle8File(int width, int height, const std::vector<Rgb> &palette, const std::vector<std::uint8_t> &indices) {
    FileBytes pixels;
    for (int y = height - 1; y >= 0; --y) {  // bottom row first
        const std::uint8_t *row = indices.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width;) {
            int run = 1;
            while (x + run < width && run < 255 && row[x + run] == row[x]) ++run;
            pixels.insert(pixels.end(), {static_cast<std::uint8_t>(run), row[x]});
            x += run;
        }
        pixels.insert(pixels.end(), {0, 0});
    }
    pixels.insert(pixels.end(), {0, 1});
    const std::uint32_t dataAt = 54 + 4 * static_cast<std::uint32_t>(palette.size());
    FileBytes out{'B', 'M'};
    put32(out, dataAt + static_cast<std::uint32_t>(pixels.size()));
    put32(out, 0);
    put32(out, dataAt);
    putInfoHeader(out, width, height, 8, static_cast<std::uint32_t>(pixels.size()));
    patch32(out, 30, 1);  // compression: RLE8
    patch32(out, 46, static_cast<std::uint32_t>(palette.size()));
    for (const Rgb &c : palette) out.insert(out.end(), {c.b, c.g, c.r, 0});
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

HostPath sparseFile(const TempDir &dir, const std::string &name, const FileBytes &head, std::uintmax_t size) {
    const HostPath path = dir.write(name, head);
    std::filesystem::resize_file(path, size);
    return path;
}

FileBytes pngFile(const TestPicture &picture) {
    std::vector<std::uint8_t> rgba;
    for (std::size_t i = 0; i < picture.colour.size(); ++i)
        rgba.insert(rgba.end(), {picture.colour[i].r, picture.colour[i].g, picture.colour[i].b, picture.alpha[i]});
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr))
        throw std::runtime_error("png size");
    FileBytes out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba.data(), 0, nullptr))
        throw std::runtime_error("png write");
    out.resize(size);
    return out;
}

FileBytes icoFile(const std::vector<IconImage> &images) {
    std::vector<FileBytes> data;
    for (const IconImage &image : images) {
        const TestPicture &p = image.picture;
        if (image.asPng) {
            data.push_back(pngFile(p));
            continue;
        }
        // 32-bit colour rows, then the 1-bit mask rows (set: transparent), both bottom-up.
        const int maskRow = ((p.width + 31) / 32) * 4;
        FileBytes entry;
        putInfoHeader(entry, p.width, p.height * 2, 32,
                      static_cast<std::uint32_t>(p.width * 4 * p.height + maskRow * p.height));
        for (int y = p.height - 1; y >= 0; --y)
            for (int x = 0; x < p.width; ++x) {
                std::size_t i = static_cast<std::size_t>(y) * p.width + x;
                entry.insert(entry.end(), {p.colour[i].b, p.colour[i].g, p.colour[i].r, p.alpha[i]});
            }
        for (int y = p.height - 1; y >= 0; --y) {
            FileBytes row(static_cast<std::size_t>(maskRow), 0);
            for (int x = 0; x < p.width; ++x)
                if (p.alpha[static_cast<std::size_t>(y) * p.width + x] == 0) row[x / 8] |= 0x80 >> (x % 8);
            entry.insert(entry.end(), row.begin(), row.end());
        }
        data.push_back(entry);
    }
    FileBytes out;
    put16(out, 0);
    put16(out, 1);
    put16(out, static_cast<std::uint32_t>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const TestPicture &p = images[i].picture;
        out.push_back(static_cast<std::uint8_t>(p.width >= 256 ? 0 : p.width));
        out.push_back(static_cast<std::uint8_t>(p.height >= 256 ? 0 : p.height));
        out.push_back(0);
        out.push_back(0);
        put16(out, 1);
        put16(out, 32);
        put32(out, static_cast<std::uint32_t>(data[i].size()));
        put32(out, offset);
        offset += static_cast<std::uint32_t>(data[i].size());
    }
    for (const FileBytes &entry : data) out.insert(out.end(), entry.begin(), entry.end());
    return out;
}

FileBytes wmfFile(int width, int height, const std::vector<FilledRect> &rects) {
    FileBytes out;
    // Placeable header: key, handle, bounding box, units per inch, reserved, checksum.
    put32(out, 0x9AC6CDD7);
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(width));
    put16(out, static_cast<std::uint32_t>(height));
    put16(out, 96);
    put32(out, 0);
    std::uint16_t checksum = 0;
    for (std::size_t i = 0; i < out.size(); i += 2) checksum ^= static_cast<std::uint16_t>(out[i] | (out[i + 1] << 8));
    put16(out, checksum);

    FileBytes records;
    std::uint32_t maxRecord = 0;
    auto record = [&](std::uint16_t function, std::initializer_list<std::uint16_t> params) {
        std::uint32_t words = 3 + static_cast<std::uint32_t>(params.size());
        maxRecord = std::max(maxRecord, words);
        put32(records, words);
        put16(records, function);
        for (std::uint16_t p : params) put16(records, p);
    };
    auto s16 = [](int v) { return static_cast<std::uint16_t>(v); };
    record(0x020B, {0, 0});                            // window origin (y, x)
    record(0x020C, {s16(height), s16(width)});         // window extent (y, x)
    record(0x02FA, {5, 0, 0, 0, 0});                   // null pen → object 0
    record(0x012D, {0});                               // select it
    for (const FilledRect &r : rects) {
        std::uint32_t ref = colourRef(r.colour);
        record(0x02FC, {0, s16(ref & 0xFFFF), s16(ref >> 16), 0});  // solid brush → object 1
        record(0x012D, {1});
        record(0x041B, {s16(r.bottom), s16(r.right), s16(r.top), s16(r.left)});
        record(0x01F0, {1});                           // delete the brush
    }
    record(0x0000, {});                                // end of file

    const std::uint32_t totalWords = 9 + static_cast<std::uint32_t>(records.size() / 2);
    put16(out, 1);
    put16(out, 9);
    put16(out, 0x0300);
    put32(out, totalWords);
    put16(out, 2);
    put32(out, maxRecord);
    put16(out, 0);
    out.insert(out.end(), records.begin(), records.end());
    return out;
}

FileBytes emfFile(int width, int height, const std::vector<FilledRect> &rects) {
    FileBytes out;
    put32(out, 1);    // header record
    put32(out, 108);
    for (int v : {0, 0, width - 1, height - 1}) put32(out, static_cast<std::uint32_t>(v));  // bounds, pixels
    // Frame in hundredths of a millimetre at 96 dots per inch.
    for (int v : {0, 0, (width * 2540 + 48) / 96, (height * 2540 + 48) / 96}) put32(out, static_cast<std::uint32_t>(v));
    put32(out, 0x464D4520);
    put32(out, 0x10000);
    put32(out, 0);  // file size, patched below
    put32(out, 0);  // record count, patched below
    put16(out, 2);  // handles
    put16(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 960);  // reference device: 960 × 960 pixels on 254 × 254 mm
    put32(out, 960);
    put32(out, 254);
    put32(out, 254);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 254000);
    put32(out, 254000);

    std::uint32_t count = 1;
    auto record = [&](std::uint32_t type, std::initializer_list<std::uint32_t> params) {
        put32(out, type);
        put32(out, 8 + 4 * static_cast<std::uint32_t>(params.size()));
        for (std::uint32_t p : params) put32(out, p);
        ++count;
    };
    record(37, {0x80000008});  // select the stock null pen
    for (const FilledRect &r : rects) {
        record(39, {1, 0, colourRef(r.colour), 0});  // solid brush as object 1
        record(37, {1});
        record(43, {static_cast<std::uint32_t>(r.left), static_cast<std::uint32_t>(r.top),
                    static_cast<std::uint32_t>(r.right), static_cast<std::uint32_t>(r.bottom)});
        record(37, {0x80000000});  // stock white brush, so object 1 can go
        record(40, {1});
    }
    record(14, {0, 16, 20});  // end of file
    patch32(out, 48, static_cast<std::uint32_t>(out.size()));
    patch32(out, 52, count);
    return out;
}


}  // namespace ks318::test
