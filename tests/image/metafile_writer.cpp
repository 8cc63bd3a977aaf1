#include "tests/image/metafile_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace ks318::test {
namespace {

void putFloat(FileBytes &out, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    put32(out, bits);
}

// Bounds of points, inclusive, as the poly records carry them.
Box boundsOf(const std::vector<Point> &points) {
    if (points.empty()) return {0, 0, -1, -1};
    Box b{points[0].x, points[0].y, points[0].x, points[0].y};
    for (const Point &p : points) {
        b.left = std::min(b.left, p.x), b.right = std::max(b.right, p.x);
        b.top = std::min(b.top, p.y), b.bottom = std::max(b.bottom, p.y);
    }
    return b;
}

void putBox(FileBytes &out, Box b) {
    for (int v : {b.left, b.top, b.right, b.bottom}) put32(out, static_cast<std::uint32_t>(v));
}

// The lowest free slot of a table of taken (true) and free (false) entries.
int takeLowest(std::vector<bool> &slots) {
    const auto free = std::find(slots.begin(), slots.end(), false);
    const int slot = static_cast<int>(free - slots.begin());
    if (free == slots.end()) {
        slots.push_back(true);
    } else {
        *free = true;
    }
    return slot;
}

void release(std::vector<bool> &slots, int slot) {
    if (slot < 0 || slot >= static_cast<int>(slots.size()) || !slots[slot])
        throw std::logic_error("deleting an object slot that holds nothing");
    slots[slot] = false;
}

}  // namespace

// --- bitmaps -----------------------------------------------------------------

Dib Dib::trueColour(int width, int height, const std::vector<Rgb> &pixels) {
    Dib dib;
    dib.width = width, dib.height = height, dib.bitCount = 24, dib.colour = pixels;
    return dib;
}

Dib Dib::paletted(int width, int height, const std::vector<Rgb> &palette, const std::vector<std::uint8_t> &indices) {
    Dib dib;
    dib.width = width, dib.height = height, dib.bitCount = 8, dib.palette = palette, dib.index = indices;
    return dib;
}

FileBytes Dib::info() const {
    FileBytes out;
    const std::uint32_t rowBytes = (static_cast<std::uint32_t>(width) * bitCount / 8 + 3) & ~3u;
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(width));
    put32(out, static_cast<std::uint32_t>(height));
    put16(out, 1);
    put16(out, static_cast<std::uint32_t>(bitCount));
    put32(out, 0);  // no compression
    put32(out, rowBytes * static_cast<std::uint32_t>(height));
    put32(out, 3780);  // 96 dots per inch
    put32(out, 3780);
    put32(out, bitCount == 8 ? static_cast<std::uint32_t>(palette.size()) : 0);
    put32(out, 0);
    if (bitCount == 8)
        for (const Rgb &c : palette) out.insert(out.end(), {c.b, c.g, c.r, 0});
    return out;
}

FileBytes Dib::bits() const {
    FileBytes out;
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * bitCount / 8 + 3) & ~std::size_t{3};
    for (int y = height - 1; y >= 0; --y) {
        const std::size_t start = out.size();
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            if (bitCount == 8) {
                out.push_back(index[i]);
            } else {
                out.insert(out.end(), {colour[i].b, colour[i].g, colour[i].r});
            }
        }
        out.resize(start + rowBytes, 0);
    }
    return out;
}

// --- WMF ---------------------------------------------------------------------

void WmfWriter::record(std::uint16_t function, const std::vector<std::uint16_t> &params) {
    const std::uint32_t words = 3 + static_cast<std::uint32_t>(params.size());
    largestRecord_ = std::max(largestRecord_, words);
    put32(records_, words);
    put16(records_, function);
    for (std::uint16_t p : params) put16(records_, p);
}

std::vector<std::uint16_t> WmfWriter::colour(Rgb c) {
    return {static_cast<std::uint16_t>(c.r | (c.g << 8)), c.b};
}

std::vector<std::uint16_t> WmfWriter::edges(Box b) { return {s16(b.bottom), s16(b.right), s16(b.top), s16(b.left)}; }

std::vector<std::uint16_t> WmfWriter::pointList(const std::vector<Point> &points) {
    std::vector<std::uint16_t> params{s16(static_cast<int>(points.size()))};
    for (const Point &p : points) params.insert(params.end(), {s16(p.x), s16(p.y)});
    return params;
}

std::vector<std::uint16_t> WmfWriter::arcParams(Box b, Point start, Point end) {
    std::vector<std::uint16_t> params{s16(end.y), s16(end.x), s16(start.y), s16(start.x)};
    const std::vector<std::uint16_t> box = edges(b);
    params.insert(params.end(), box.begin(), box.end());
    return params;
}

void WmfWriter::addBytes(std::vector<std::uint16_t> &params, const FileBytes &bytes) {
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        params.push_back(static_cast<std::uint16_t>(bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0)));
}

void WmfWriter::addText(std::vector<std::uint16_t> &params, const std::string &text) {
    addBytes(params, FileBytes(text.begin(), text.end()));  // padded to a whole word
}

int WmfWriter::newObject() { return takeLowest(slots_); }

int WmfWriter::createPen(int style, int width, Rgb c) {
    std::vector<std::uint16_t> params{s16(style), s16(width), 0};
    const auto ref = colour(c);
    params.insert(params.end(), ref.begin(), ref.end());
    record(0x02FA, params);
    return newObject();
}

int WmfWriter::createBrush(int style, Rgb c, int hatch) {
    std::vector<std::uint16_t> params{s16(style)};
    const auto ref = colour(c);
    params.insert(params.end(), ref.begin(), ref.end());
    params.push_back(s16(hatch));
    record(0x02FC, params);
    return newObject();
}

int WmfWriter::createFont(const Font &font) {
    std::vector<std::uint16_t> params{s16(font.height), 0, s16(font.escapement), s16(font.escapement),
                                      s16(font.weight)};
    FileBytes rest{static_cast<std::uint8_t>(font.italic), 0, 0, 0 /* ANSI */, 0, 0, 0, 0};
    FileBytes face(32, 0);
    std::copy_n(font.face.begin(), std::min<std::size_t>(font.face.size(), 31), face.begin());
    rest.insert(rest.end(), face.begin(), face.end());
    addBytes(params, rest);
    record(0x02FB, params);
    return newObject();
}

void WmfWriter::deleteObject(int object) {
    record(0x01F0, {s16(object)});
    release(slots_, object);
}

void WmfWriter::polyPolygon(const std::vector<std::vector<Point>> &polygons) {
    std::vector<std::uint16_t> params{s16(static_cast<int>(polygons.size()))};
    for (const auto &polygon : polygons) params.push_back(s16(static_cast<int>(polygon.size())));
    for (const auto &polygon : polygons)
        for (const Point &p : polygon) params.insert(params.end(), {s16(p.x), s16(p.y)});
    record(0x0538, params);
}

void WmfWriter::roundRect(Box b, int cornerWidth, int cornerHeight) {
    std::vector<std::uint16_t> params{s16(cornerHeight), s16(cornerWidth)};
    const auto box = edges(b);
    params.insert(params.end(), box.begin(), box.end());
    record(0x061C, params);
}

void WmfWriter::textOut(int x, int y, const std::string &text) {
    std::vector<std::uint16_t> params{s16(static_cast<int>(text.size()))};
    addText(params, text);
    params.insert(params.end(), {s16(y), s16(x)});
    record(0x0521, params);
}

void WmfWriter::extTextOut(int x, int y, int options, Box rect, const std::string &text, const std::vector<int> &dx) {
    std::vector<std::uint16_t> params{s16(y), s16(x), s16(static_cast<int>(text.size())), s16(options)};
    if ((options & (gdi::kTextOpaque | gdi::kTextClipped)) != 0)
        params.insert(params.end(), {s16(rect.left), s16(rect.top), s16(rect.right), s16(rect.bottom)});
    addText(params, text);
    for (int d : dx) params.push_back(s16(d));
    record(0x0A32, params);
}

void WmfWriter::stretchDib(Box dest, const Dib &dib, std::uint32_t rop) {
    std::vector<std::uint16_t> params{static_cast<std::uint16_t>(rop & 0xFFFF), static_cast<std::uint16_t>(rop >> 16),
                                      0 /* RGB colours */, s16(dib.height), s16(dib.width), 0, 0,
                                      s16(dest.bottom - dest.top), s16(dest.right - dest.left), s16(dest.top),
                                      s16(dest.left)};
    FileBytes bytes = dib.info();
    const FileBytes bits = dib.bits();
    bytes.insert(bytes.end(), bits.begin(), bits.end());
    addBytes(params, bytes);
    record(0x0F43, params);
}

void WmfWriter::dibStretchBlt(Box dest, const Dib &dib, std::uint32_t rop) {
    std::vector<std::uint16_t> params{static_cast<std::uint16_t>(rop & 0xFFFF), static_cast<std::uint16_t>(rop >> 16),
                                      s16(dib.height), s16(dib.width), 0, 0, s16(dest.bottom - dest.top),
                                      s16(dest.right - dest.left), s16(dest.top), s16(dest.left)};
    FileBytes bytes = dib.info();
    const FileBytes bits = dib.bits();
    bytes.insert(bytes.end(), bits.begin(), bits.end());
    addBytes(params, bytes);
    record(0x0B41, params);
}

void WmfWriter::patBlt(Box b, std::uint32_t rop) {
    record(0x061D, {static_cast<std::uint16_t>(rop & 0xFFFF), static_cast<std::uint16_t>(rop >> 16),
                    s16(b.bottom - b.top), s16(b.right - b.left), s16(b.top), s16(b.left)});
}

FileBytes WmfWriter::file() const {
    FileBytes out;
    const std::uint32_t words = 9 + static_cast<std::uint32_t>(records_.size() / 2) + 3;
    put16(out, 1);  // in memory
    put16(out, 9);  // header words
    put16(out, 0x0300);
    put32(out, words);
    put16(out, static_cast<std::uint32_t>(std::max<std::size_t>(slots_.size(), 1)));
    put32(out, largestRecord_);
    put16(out, 0);
    out.insert(out.end(), records_.begin(), records_.end());
    put32(out, 3);  // end of file
    put16(out, 0);
    return out;
}

FileBytes WmfWriter::placeable(Box box, int unitsPerInch) const {
    FileBytes out;
    put32(out, 0x9AC6CDD7);
    put16(out, 0);
    for (int v : {box.left, box.top, box.right, box.bottom}) put16(out, s16(v));
    put16(out, static_cast<std::uint32_t>(unitsPerInch));
    put32(out, 0);
    std::uint16_t checksum = 0;
    for (std::size_t i = 0; i < out.size(); i += 2) checksum ^= static_cast<std::uint16_t>(out[i] | (out[i + 1] << 8));
    put16(out, checksum);
    const FileBytes metafile = file();
    out.insert(out.end(), metafile.begin(), metafile.end());
    return out;
}

// --- EMF ---------------------------------------------------------------------

FileBytes EmfWriter::ints(std::initializer_list<int> values) {
    FileBytes out;
    for (int v : values) put32(out, static_cast<std::uint32_t>(v));
    return out;
}

void EmfWriter::setDevice(int pixelsX, int pixelsY, int millimetresX, int millimetresY) {
    deviceX_ = pixelsX, deviceY_ = pixelsY, millimetresX_ = millimetresX, millimetresY_ = millimetresY;
}

void EmfWriter::record(std::uint32_t type, const FileBytes &params) {
    if (params.size() % 4 != 0) throw std::logic_error("EMF records are whole 32-bit words");
    put32(records_, type);
    put32(records_, 8 + static_cast<std::uint32_t>(params.size()));
    records_.insert(records_.end(), params.begin(), params.end());
    ++count_;
}

void EmfWriter::setWorldTransform(const std::vector<float> &xform) {
    FileBytes params;
    for (float f : xform) putFloat(params, f);
    record(35, params);
}

void EmfWriter::modifyWorldTransform(const std::vector<float> &xform, int mode) {
    FileBytes params;
    for (float f : xform) putFloat(params, f);
    put32(params, static_cast<std::uint32_t>(mode));
    record(36, params);
}

int EmfWriter::newHandle() { return takeLowest(handles_); }

int EmfWriter::createPen(int style, int width, Rgb c) {
    const int handle = newHandle();
    record(38, ints({handle, style, width, 0, colourRef(c)}));
    return handle;
}

int EmfWriter::extCreatePen(int style, int width, Rgb c, const std::vector<int> &dashes) {
    const int handle = newHandle();
    FileBytes params = ints({handle, 0, 0, 0, 0, style, width, gdi::kBrushSolid, colourRef(c), 0,
                             static_cast<int>(dashes.size())});
    for (int d : dashes) put32(params, static_cast<std::uint32_t>(d));
    record(95, params);
    return handle;
}

int EmfWriter::createBrush(int style, Rgb c, int hatch) {
    const int handle = newHandle();
    record(39, ints({handle, style, colourRef(c), hatch}));
    return handle;
}

int EmfWriter::createFont(const Font &font) {
    const int handle = newHandle();
    FileBytes params = ints({handle, font.height, 0, font.escapement, font.escapement, font.weight});
    params.insert(params.end(), {static_cast<std::uint8_t>(font.italic), 0, 0, 0 /* ANSI */, 0, 0, 0, 0});
    for (int i = 0; i < 32; ++i) put16(params, i < static_cast<int>(font.face.size()) && i < 31 ? font.face[i] : 0);
    // The rest of the extended logical font (full name, style, version, vendor,
    // culture, PANOSE) stays zero, as GDI writes it for a plain logical font.
    params.resize(4 + 320, 0);
    record(82, params);
    return handle;
}

void EmfWriter::deleteObject(int handle) {
    record(40, ints({handle}));
    release(handles_, handle);
}

void EmfWriter::points16(std::uint32_t type, const std::vector<Point> &points) {
    FileBytes params;
    putBox(params, boundsOf(points));
    put32(params, static_cast<std::uint32_t>(points.size()));
    for (const Point &p : points) put16(params, static_cast<std::uint16_t>(p.x)), put16(params, static_cast<std::uint16_t>(p.y));
    if (params.size() % 4 != 0) put16(params, 0);
    record(type, params);
}

void EmfWriter::points32(std::uint32_t type, const std::vector<Point> &points) {
    FileBytes params;
    putBox(params, boundsOf(points));
    put32(params, static_cast<std::uint32_t>(points.size()));
    for (const Point &p : points) put32(params, static_cast<std::uint32_t>(p.x)), put32(params, static_cast<std::uint32_t>(p.y));
    record(type, params);
}

void EmfWriter::polyPoints(std::uint32_t type, const std::vector<std::vector<Point>> &polygons, bool shortPoints) {
    std::vector<Point> all;
    for (const auto &polygon : polygons) all.insert(all.end(), polygon.begin(), polygon.end());
    FileBytes params;
    putBox(params, boundsOf(all));
    put32(params, static_cast<std::uint32_t>(polygons.size()));
    put32(params, static_cast<std::uint32_t>(all.size()));
    for (const auto &polygon : polygons) put32(params, static_cast<std::uint32_t>(polygon.size()));
    for (const Point &p : all) {
        if (shortPoints) {
            put16(params, static_cast<std::uint16_t>(p.x)), put16(params, static_cast<std::uint16_t>(p.y));
        } else {
            put32(params, static_cast<std::uint32_t>(p.x)), put32(params, static_cast<std::uint32_t>(p.y));
        }
    }
    if (params.size() % 4 != 0) put16(params, 0);
    record(type, params);
}

void EmfWriter::roundRect(Box b, int cornerWidth, int cornerHeight) {
    record(44, ints({b.left, b.top, b.right, b.bottom, cornerWidth, cornerHeight}));
}

void EmfWriter::arcRecord(std::uint32_t type, Box b, Point start, Point end) {
    record(type, ints({b.left, b.top, b.right, b.bottom, start.x, start.y, end.x, end.y}));
}

void EmfWriter::extTextOut(int x, int y, int options, Box rect, const std::string &text, int advance) {
    const int chars = static_cast<int>(text.size());
    const int stringAt = 76;
    const int stringBytes = (chars * 2 + 3) & ~3;
    FileBytes params;
    putBox(params, {0, 0, -1, -1});
    put32(params, 1);  // compatible graphics mode
    const float scaleX = static_cast<float>(millimetresX_) * 100.0f / static_cast<float>(deviceX_);
    const float scaleY = static_cast<float>(millimetresY_) * 100.0f / static_cast<float>(deviceY_);
    putFloat(params, scaleX);
    putFloat(params, scaleY);
    const FileBytes text0 = ints({x, y, chars, stringAt, options});
    params.insert(params.end(), text0.begin(), text0.end());
    putBox(params, rect);
    put32(params, static_cast<std::uint32_t>(stringAt + stringBytes));  // spacing after the string
    for (char c : text) put16(params, static_cast<std::uint8_t>(c));
    params.resize(stringAt - 8 + stringBytes, 0);
    for (int i = 0; i < chars; ++i) put32(params, static_cast<std::uint32_t>(advance));
    record(84, params);
}

void EmfWriter::stretchDiBits(Box dest, const Dib &dib, std::uint32_t rop) {
    const FileBytes info = dib.info(), bits = dib.bits();
    const int bmiAt = 80, bitsAt = bmiAt + static_cast<int>(info.size());
    FileBytes params;
    putBox(params, {dest.left, dest.top, dest.right - 1, dest.bottom - 1});
    const FileBytes fields = ints({dest.left, dest.top, 0, 0, dib.width, dib.height, bmiAt, static_cast<int>(info.size()),
                                   bitsAt, static_cast<int>(bits.size()), 0 /* RGB colours */, static_cast<int>(rop),
                                   dest.right - dest.left, dest.bottom - dest.top});
    params.insert(params.end(), fields.begin(), fields.end());
    params.insert(params.end(), info.begin(), info.end());
    params.insert(params.end(), bits.begin(), bits.end());
    record(81, params);
}

void EmfWriter::bitBlt(int x, int y, const Dib &dib, std::uint32_t rop) {
    const FileBytes info = dib.info(), bits = dib.bits();
    const int bmiAt = 100, bitsAt = bmiAt + static_cast<int>(info.size());
    FileBytes params;
    putBox(params, {x, y, x + dib.width - 1, y + dib.height - 1});
    FileBytes fields = ints({x, y, dib.width, dib.height, static_cast<int>(rop), 0, 0});
    for (float f : {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}) putFloat(fields, f);  // source transform
    const FileBytes rest = ints({0, 0 /* RGB colours */, bmiAt, static_cast<int>(info.size()), bitsAt,
                                 static_cast<int>(bits.size())});
    fields.insert(fields.end(), rest.begin(), rest.end());
    params.insert(params.end(), fields.begin(), fields.end());
    params.insert(params.end(), info.begin(), info.end());
    params.insert(params.end(), bits.begin(), bits.end());
    record(76, params);
}

void EmfWriter::bitBlt(Box dest, std::uint32_t rop) {
    FileBytes params;
    putBox(params, {dest.left, dest.top, dest.right - 1, dest.bottom - 1});
    FileBytes fields = ints({dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top, static_cast<int>(rop), 0, 0});
    for (float f : {1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}) putFloat(fields, f);
    const FileBytes rest = ints({0, 0, 0, 0, 0, 0});
    fields.insert(fields.end(), rest.begin(), rest.end());
    params.insert(params.end(), fields.begin(), fields.end());
    record(76, params);
}

FileBytes EmfWriter::file(Box frame, Box bounds) const {
    FileBytes out;
    put32(out, 1);
    put32(out, 108);
    putBox(out, bounds);
    putBox(out, frame);
    put32(out, 0x464D4520);  // " EMF"
    put32(out, 0x10000);
    put32(out, 0);  // bytes, patched below
    put32(out, 0);  // records, patched below
    put16(out, static_cast<std::uint32_t>(handles_.size()));
    put16(out, 0);
    put32(out, 0);  // no description
    put32(out, 0);
    put32(out, 0);  // no palette
    for (int v : {deviceX_, deviceY_, millimetresX_, millimetresY_}) put32(out, static_cast<std::uint32_t>(v));
    put32(out, 0);  // no pixel format
    put32(out, 0);
    put32(out, 0);  // not OpenGL
    put32(out, static_cast<std::uint32_t>(millimetresX_ * 1000));
    put32(out, static_cast<std::uint32_t>(millimetresY_ * 1000));
    out.insert(out.end(), records_.begin(), records_.end());
    const FileBytes end = ints({14, 20, 0, 16, 20});  // end of file: no palette
    out.insert(out.end(), end.begin(), end.end());
    patch32(out, 48, static_cast<std::uint32_t>(out.size()));
    patch32(out, 52, count_ + 2);
    return out;
}

FileBytes EmfWriter::fileInPixels(Box frame) const {
    const auto toHundredths = [](int pixels, int device, int millimetres) {
        return static_cast<int>(std::lround(static_cast<double>(pixels) * millimetres * 100 / device));
    };
    const Box hundredths{toHundredths(frame.left, deviceX_, millimetresX_), toHundredths(frame.top, deviceY_, millimetresY_),
                         toHundredths(frame.right, deviceX_, millimetresX_),
                         toHundredths(frame.bottom, deviceY_, millimetresY_)};
    return file(hundredths, {frame.left, frame.top, frame.right - 1, frame.bottom - 1});
}

}  // namespace ks318::test
