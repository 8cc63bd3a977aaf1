// Metafiles, played by our own player (port/gdi/) with cairo, placed as the
// Windows build places them:
// - a placeable Windows metafile maps its header's box onto the target (its
//   records may set their own window, as clip-art with flipped extents does);
// - any other Windows metafile is played one logical unit to one pixel, and the
//   picture is what its records cover, stretched onto the target;
// - an enhanced metafile maps its header's frame onto the target.
#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <optional>

#include <cairo.h>

#include "port/gdi/byte_reader.h"
#include "port/gdi/metafile_player.h"
#include "port/picture_posix.h"

namespace ks318::port {
namespace {

constexpr double kDotsPerInch = 96.0;
constexpr double kPixelsPerMm = kDotsPerInch / 25.4;
// A metafile's size only places it on the screen (it is drawn at the screen's
// size, whatever it claims), so any size a picture can hold is taken.
constexpr long long kMaxSide = std::numeric_limits<int>::max();
// Where a picture is measured: far beyond any drawing that can show on a screen.
constexpr cairo_rectangle_int_t kEverywhere{-(1 << 22), -(1 << 22), 1 << 23, 1 << 23};

bool usableSize(long long width, long long height) { return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide; }

// The canvas as a cairo image for the time of one play; `draw` gets it and the
// pixels of the canvas that the target covers. The canvas is written back only
// when `draw` succeeds.
template <typename Draw>
bool drawOnCanvas(RgbCanvas &canvas, const TargetRect &target, Draw draw) {
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, canvas.width, canvas.height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_surface_flush(surface);
    unsigned char *data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < canvas.height; ++y) {
        auto *row = reinterpret_cast<std::uint32_t *>(data + static_cast<std::size_t>(y) * stride);
        for (int x = 0; x < canvas.width; ++x) {
            const std::uint8_t *p = canvas.pixel(x, y);
            row[x] = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
        }
    }
    cairo_surface_mark_dirty(surface);

    const int left = std::max(0, target.x), top = std::max(0, target.y);
    const int right = static_cast<int>(std::min<long long>(static_cast<long long>(target.x) + target.width, canvas.width));
    const int bottom = static_cast<int>(std::min<long long>(static_cast<long long>(target.y) + target.height, canvas.height));
    const cairo_rectangle_int_t bounds{left, top, std::max(0, right - left), std::max(0, bottom - top)};
    cairo_t *cr = cairo_create(surface);
    const bool drawn = draw(cr, bounds);
    cairo_destroy(cr);

    cairo_surface_flush(surface);
    if (drawn) {
        for (int y = 0; y < canvas.height; ++y) {
            const auto *row = reinterpret_cast<const std::uint32_t *>(data + static_cast<std::size_t>(y) * stride);
            for (int x = 0; x < canvas.width; ++x) {
                std::uint8_t *p = canvas.pixel(x, y);
                p[0] = static_cast<std::uint8_t>(row[x] >> 16);
                p[1] = static_cast<std::uint8_t>(row[x] >> 8);
                p[2] = static_cast<std::uint8_t>(row[x]);
            }
        }
    }
    cairo_surface_destroy(surface);
    return drawn;
}

// A Windows metafile without the placeable header names no size: it is played
// one logical unit to one pixel (the records' window onto a viewport of the
// same extent, flips kept), and where it draws is the picture: the shapes' own
// pixels, right and bottom edges left out and pens not counted, as Windows
// counts the bounds when it turns such a file into an enhanced metafile. The
// shapes keep the rules of Windows metafiles (the compatible graphics mode).
void setUnitMapping(gdi::DeviceContext &dc, const std::optional<gdi::Point> &windowExtent) {
    dc.setMapMode(gdi::kMapAnisotropic);
    if (windowExtent) dc.setViewportExt({std::fabs(windowExtent->x), std::fabs(windowExtent->y)});
}

// The extent the records' first SETWINDOWEXT gives, if they have one.
std::optional<gdi::Point> firstWindowExtent(const gdi::WindowsMetafile &metafile) {
    gdi::ByteReader in(metafile.bytes);
    in.skip(gdi::kWindowsMetafileHeaderBytes);
    while (in.remaining() >= 6) {
        const std::uint32_t words = in.u32();
        const std::uint16_t function = in.u16();
        if (function == 0 || words < 3) break;
        gdi::ByteReader parameters = in.sub((static_cast<std::size_t>(words) - 3) * 2);
        if (function == 0x020C) {
            const double y = parameters.s16(), x = parameters.s16();
            if (parameters.ok() && x != 0 && y != 0) return gdi::Point{x, y};
        }
    }
    return std::nullopt;
}

class WindowsMetafilePicture final : public Picture {
public:
    WindowsMetafilePicture(std::vector<std::uint8_t> bytes, std::optional<gdi::PlaceableHeader> placeable)
        : Picture(0, 0), bytes_(std::move(bytes)), placeable_(placeable) {}

    // Reads the records and finds the picture's size; false when refused.
    bool load();
    bool play(RgbCanvas &canvas, const TargetRect &target) const override;

private:
    std::vector<std::uint8_t> bytes_;
    std::optional<gdi::PlaceableHeader> placeable_;
    gdi::WindowsMetafile metafile_;
    std::optional<gdi::Point> windowExtent_;
    double inkLeft_ = 0, inkTop_ = 0;  // where the records draw, one unit to one pixel
};

bool WindowsMetafilePicture::load() {
    const std::size_t skip = placeable_ ? gdi::kPlaceableHeaderBytes : 0;
    const std::optional<gdi::WindowsMetafile> metafile =
        gdi::readWindowsMetafile(std::span<const std::uint8_t>(bytes_).subspan(skip));
    if (!metafile) return false;
    metafile_ = *metafile;
    if (placeable_) {
        const gdi::PlaceableHeader &h = *placeable_;
        if (h.unitsPerInch <= 0) return false;
        const long long width = std::llround(std::abs(h.right - h.left) * kDotsPerInch / h.unitsPerInch);
        const long long height = std::llround(std::abs(h.bottom - h.top) * kDotsPerInch / h.unitsPerInch);
        if (!usableSize(width, height)) return false;
        setSize(static_cast<int>(width), static_cast<int>(height));
        return true;
    }
    // Measured by a play that draws nothing (a one-pixel surface gives the fonts' measures).
    windowExtent_ = firstWindowExtent(metafile_);
    cairo_surface_t *scratch = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t *cr = cairo_create(scratch);
    const cairo_matrix_t identity{1, 0, 0, 1, 0, 0};
    gdi::DeviceContext dc(identity, kEverywhere, {kPixelsPerMm, kPixelsPerMm});
    setUnitMapping(dc, windowExtent_);
    cairo_rectangle_t ink{0, 0, 0, 0};
    const bool played = gdi::playWindowsMetafile(metafile_, cr, dc, &ink);
    cairo_destroy(cr);
    cairo_surface_destroy(scratch);
    const double x = ink.x, y = ink.y, width = ink.width, height = ink.height;
    if (!played || !(width >= 1) || !(height >= 1) || width > kMaxSide || height > kMaxSide) return false;
    inkLeft_ = x, inkTop_ = y;
    setSize(static_cast<int>(std::llround(width)), static_cast<int>(std::llround(height)));
    return true;
}

bool WindowsMetafilePicture::play(RgbCanvas &canvas, const TargetRect &target) const {
    if (target.width <= 0 || target.height <= 0) return true;
    return drawOnCanvas(canvas, target, [&](cairo_t *cr, const cairo_rectangle_int_t &bounds) {
        if (placeable_) {
            const cairo_matrix_t identity{1, 0, 0, 1, 0, 0};
            gdi::DeviceContext dc(identity, bounds, {kPixelsPerMm, kPixelsPerMm});
            const gdi::PlaceableHeader &h = *placeable_;
            dc.setMapMode(gdi::kMapAnisotropic);
            dc.setWindowOrg({static_cast<double>(h.left), static_cast<double>(h.top)});
            dc.setWindowExt({static_cast<double>(h.right - h.left), static_cast<double>(h.bottom - h.top)});
            dc.setViewportOrg({static_cast<double>(target.x), static_cast<double>(target.y)});
            dc.setViewportExt({static_cast<double>(target.width), static_cast<double>(target.height)});
            return gdi::playWindowsMetafile(metafile_, cr, dc);
        }
        const double sx = static_cast<double>(target.width) / width();
        const double sy = static_cast<double>(target.height) / height();
        const cairo_matrix_t toTarget{sx, 0, 0, sy, target.x - inkLeft_ * sx, target.y - inkTop_ * sy};
        gdi::DeviceContext dc(toTarget, bounds, {kPixelsPerMm, kPixelsPerMm});
        setUnitMapping(dc, windowExtent_);
        return gdi::playWindowsMetafile(metafile_, cr, dc);
    });
}

class EnhancedMetafilePicture final : public Picture {
public:
    EnhancedMetafilePicture(std::vector<std::uint8_t> bytes, int width, int height)
        : Picture(width, height), bytes_(std::move(bytes)) {}

    bool load() {
        const auto metafile = gdi::readEnhancedMetafile(bytes_);
        if (!metafile) return false;
        metafile_ = *metafile;
        return true;
    }
    bool play(RgbCanvas &canvas, const TargetRect &target) const override;

private:
    std::vector<std::uint8_t> bytes_;
    gdi::EnhancedMetafile metafile_;
};

// The frame, converted to the reference device's pixels, fills the target.
bool EnhancedMetafilePicture::play(RgbCanvas &canvas, const TargetRect &target) const {
    if (target.width <= 0 || target.height <= 0) return true;
    const gdi::Point perMm = gdi::devicePixelsPerMm(metafile_);
    const double left = metafile_.frameLeft / 100.0 * perMm.x, right = metafile_.frameRight / 100.0 * perMm.x;
    const double top = metafile_.frameTop / 100.0 * perMm.y, bottom = metafile_.frameBottom / 100.0 * perMm.y;
    if (!(right > left) || !(bottom > top)) return false;
    const double sx = target.width / (right - left), sy = target.height / (bottom - top);
    const cairo_matrix_t toTarget{sx, 0, 0, sy, target.x - left * sx, target.y - top * sy};
    return drawOnCanvas(canvas, target, [&](cairo_t *cr, const cairo_rectangle_int_t &bounds) {
        gdi::DeviceContext dc(toTarget, bounds, perMm, true);
        return gdi::playEnhancedMetafile(metafile_, cr, dc);
    });
}

}  // namespace

std::unique_ptr<Picture> loadWindowsMetafile(std::vector<std::uint8_t> bytes) {
    const std::optional<gdi::PlaceableHeader> placeable = gdi::readPlaceableHeader(bytes);
    if (!placeable && bytes.size() >= 4 && bytes[0] == 0xD7 && bytes[1] == 0xCD && bytes[2] == 0xC6 && bytes[3] == 0x9A)
        return nullptr;  // a placeable header cut short
    auto picture = std::make_unique<WindowsMetafilePicture>(std::move(bytes), placeable);
    if (!picture->load()) return nullptr;
    return picture;
}

std::unique_ptr<Picture> loadEnhancedMetafile(std::vector<std::uint8_t> bytes) {
    // The header record: type 1, the frame (hundredths of a millimetre) at 24,
    // the signature " EMF" at 40.
    const auto metafile = gdi::readEnhancedMetafile(bytes);
    if (!metafile) return nullptr;
    const double toPixels = kDotsPerInch / 2540.0;
    const long long width = std::llround((static_cast<double>(metafile->frameRight) - metafile->frameLeft) * toPixels);
    const long long height = std::llround((static_cast<double>(metafile->frameBottom) - metafile->frameTop) * toPixels);
    if (!usableSize(width, height)) return nullptr;
    auto picture = std::make_unique<EnhancedMetafilePicture>(std::move(bytes), static_cast<int>(width),
                                                             static_cast<int>(height));
    if (!picture->load()) return nullptr;
    return picture;
}

}  // namespace ks318::port
