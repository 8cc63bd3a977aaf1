// Metafiles: libwmf plays WMF records at the target's size; libemf2svg turns EMF
// records into SVG, which librsvg plays through cairo into the target rectangle.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <cairo.h>
#include <emf2svg.h>
#include <librsvg/rsvg.h>
#include <libwmf/api.h>
#include <libwmf/gd.h>

#include "port/picture_posix.h"

namespace ks318::port {
namespace {

constexpr double kDotsPerInch = 96.0;

// libwmf and libemf2svg promise nothing about use from several threads at once,
// and hosts may convert pictures on any number of threads: one at a time here.
std::mutex metafileLibraries;
// Metafiles claiming more than this many pixels a side are refused.
constexpr int kMaxSide = 16384;

class SvgPicture final : public Picture {
public:
    SvgPicture(int width, int height, RsvgHandle *handle, double svgWidth, double svgHeight)
        : Picture(width, height), handle_(handle), svgWidth_(svgWidth), svgHeight_(svgHeight) {}
    ~SvgPicture() override { g_object_unref(handle_); }
    SvgPicture(const SvgPicture &) = delete;
    SvgPicture &operator=(const SvgPicture &) = delete;

    bool play(RgbCanvas &canvas, const TargetRect &target) const override;

private:
    RsvgHandle *handle_;
    double svgWidth_;   // the drawing's own size, stretched onto the target
    double svgHeight_;
};

bool SvgPicture::play(RgbCanvas &canvas, const TargetRect &target) const {
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

    cairo_t *cr = cairo_create(surface);
    cairo_rectangle(cr, target.x, target.y, target.width, target.height);
    cairo_clip(cr);
    cairo_translate(cr, target.x, target.y);
    cairo_scale(cr, target.width / svgWidth_, target.height / svgHeight_);
    RsvgRectangle viewport{0, 0, svgWidth_, svgHeight_};
    GError *error = nullptr;
    const bool drawn = rsvg_handle_render_document(handle_, cr, &viewport, &error);
    g_clear_error(&error);
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

// Parses SVG text into a picture of width × height pixels; null when it is not usable.
std::unique_ptr<Picture> fromSvg(const char *svg, std::size_t length, int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return nullptr;
    GError *error = nullptr;
    RsvgHandle *handle = rsvg_handle_new_from_data(reinterpret_cast<const guint8 *>(svg), length, &error);
    g_clear_error(&error);
    if (handle == nullptr) return nullptr;
    rsvg_handle_set_dpi(handle, kDotsPerInch);
    double svgWidth = 0, svgHeight = 0;
    if (!rsvg_handle_get_intrinsic_size_in_pixels(handle, &svgWidth, &svgHeight) || svgWidth <= 0 ||
        svgHeight <= 0) {
        svgWidth = width;
        svgHeight = height;
    }
    return std::make_unique<SvgPicture>(width, height, handle, svgWidth, svgHeight);
}

std::uint32_t le32(const std::uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int16_t le16s(const std::uint8_t *p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }

// A Windows metafile, played by libwmf's raster device at the target's size into
// a true-colour PNG in memory (the device frees its own image only after such
// output), so colours arrive exactly as the file gives them. A placeable file is
// played into its frame; any other into what its records cover.
class WindowsMetafile final : public Picture {
public:
    explicit WindowsMetafile(std::vector<std::uint8_t> bytes);
    ~WindowsMetafile() override {
        std::lock_guard lock(metafileLibraries);
        if (api_ != nullptr) wmf_api_destroy(api_);
    }
    WindowsMetafile(const WindowsMetafile &) = delete;
    WindowsMetafile &operator=(const WindowsMetafile &) = delete;

    bool usable() const { return api_ != nullptr && width() > 0 && height() > 0; }
    bool play(RgbCanvas &canvas, const TargetRect &target) const override;

private:
    static int collect(void *context, char *bytes, int count);

    std::vector<std::uint8_t> bytes_;  // read by libwmf while the picture lives
    wmfAPI *api_ = nullptr;
    wmfD_Rect frame_{};
};

WindowsMetafile::WindowsMetafile(std::vector<std::uint8_t> bytes) : Picture(0, 0), bytes_(std::move(bytes)) {
    std::lock_guard lock(metafileLibraries);
    wmfAPI_Options options{};
    options.function = wmf_gd_function;
    const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    if (wmf_api_create(&api_, flags, &options) != wmf_E_None) {
        if (api_ != nullptr) wmf_api_destroy(api_);
        api_ = nullptr;
        return;
    }
    unsigned int width = 0, height = 0;
    if ((WMF_GD_GetData(api_)->flags & WMF_GD_SUPPORTS_PNG) == 0 ||
        wmf_mem_open(api_, bytes_.data(), static_cast<long>(bytes_.size())) != wmf_E_None ||
        wmf_scan(api_, 0, &frame_) != wmf_E_None ||
        wmf_display_size(api_, &width, &height, kDotsPerInch, kDotsPerInch) != wmf_E_None || width == 0 ||
        height == 0 || width > kMaxSide || height > kMaxSide) {
        wmf_api_destroy(api_);
        api_ = nullptr;
        return;
    }
    setSize(static_cast<int>(width), static_cast<int>(height));
    // Placeable header: key, handle, left, top, right, bottom, units per inch. The
    // player works in points (1/72 inch) for such files.
    const std::uint8_t *header = bytes_.data();
    if (bytes_.size() >= 22 && le32(header) == 0x9AC6CDD7u && le16s(header + 14) > 0) {
        const double toPoints = 72.0 / le16s(header + 14);
        frame_.TL.x = static_cast<float>(le16s(header + 6) * toPoints);
        frame_.TL.y = static_cast<float>(le16s(header + 8) * toPoints);
        frame_.BR.x = static_cast<float>(le16s(header + 10) * toPoints);
        frame_.BR.y = static_cast<float>(le16s(header + 12) * toPoints);
    }
}

int WindowsMetafile::collect(void *context, char *bytes, int count) {
    auto *png = static_cast<std::vector<std::uint8_t> *>(context);
    png->insert(png->end(), bytes, bytes + count);
    return count;
}

bool WindowsMetafile::play(RgbCanvas &canvas, const TargetRect &target) const {
    if (target.width <= 0 || target.height <= 0) return true;
    std::vector<std::uint8_t> png;
    std::unique_lock lock(metafileLibraries);
    wmf_gd_t *device = WMF_GD_GetData(api_);
    device->type = wmf_gd_png;
    device->flags |= WMF_GD_OUTPUT_MEMORY | WMF_GD_OWN_BUFFER;
    device->sink.context = &png;
    device->sink.function = collect;
    device->width = static_cast<unsigned int>(target.width);
    device->height = static_cast<unsigned int>(target.height);
    device->bbox = frame_;
    wmfD_Rect played = frame_;
    if (wmf_play(api_, 0, &played) != wmf_E_None) return false;
    lock.unlock();
    std::unique_ptr<Picture> image = decodeBitmap("png", png.data(), png.size());
    if (!image || image->width() != target.width || image->height() != target.height) return false;
    // The image is the target's size: a clipped copy places it.
    const int left = std::max(0, -target.x), right = std::min(target.width, canvas.width - target.x);
    for (int y = std::max(0, -target.y); y < target.height && target.y + y < canvas.height; ++y) {
        if (right <= left) break;
        const std::uint8_t *row = image->pixels() + (static_cast<std::size_t>(y) * target.width + left) * 3;
        std::memcpy(canvas.pixel(target.x + left, target.y + y), row, static_cast<std::size_t>(right - left) * 3);
    }
    return true;
}

}  // namespace

std::unique_ptr<Picture> loadWindowsMetafile(std::vector<std::uint8_t> bytes) {
    auto picture = std::make_unique<WindowsMetafile>(std::move(bytes));
    return picture->usable() ? std::move(picture) : nullptr;
}

std::unique_ptr<Picture> loadEnhancedMetafile(std::vector<std::uint8_t> bytes) {
    // The header record: type 1, the frame (hundredths of a millimetre) at 24,
    // the signature " EMF" at 40.
    if (bytes.size() < 88 || le32(bytes.data()) != 1 || le32(bytes.data() + 40) != 0x464D4520) return nullptr;
    const auto frame = [&](int at) { return static_cast<std::int32_t>(le32(bytes.data() + at)); };
    const double toPixels = kDotsPerInch / 2540.0;
    const long width = std::lround((static_cast<double>(frame(32)) - frame(24)) * toPixels);
    const long height = std::lround((static_cast<double>(frame(36)) - frame(28)) * toPixels);
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return nullptr;

    generatorOptions options{};
    options.nameSpace = const_cast<char *>("");  // a prefix would be allocated and never freed
    options.svgDelimiter = true;
    options.imgWidth = static_cast<double>(width);
    options.imgHeight = static_cast<double>(height);
    char *svg = nullptr;
    std::size_t length = 0;
    int converted;
    {
        std::lock_guard lock(metafileLibraries);
        converted = emf2svg(reinterpret_cast<char *>(bytes.data()), bytes.size(), &svg, &length, &options);
    }
    std::unique_ptr<Picture> picture;
    if (converted != 0 && svg != nullptr) picture = fromSvg(svg, length, static_cast<int>(width), static_cast<int>(height));
    std::free(svg);
    return picture;
}

}  // namespace ks318::port
