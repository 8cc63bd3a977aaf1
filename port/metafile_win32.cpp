// Metafiles through GDI: an enhanced metafile is played as it is; a placeable
// Windows metafile is played into its box; any other Windows metafile is first
// turned into an enhanced one, its window at one unit a pixel. All are played
// into a 24-bit DIB section that holds the canvas.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "port/gdi/metafile_records.h"
#include "port/picture_win32.h"

namespace ks318::port {
namespace {

constexpr double kDotsPerInch = 96.0;
// A metafile's size only places it on the screen (it is drawn at the screen's
// size, whatever it claims), so any size a picture can hold is taken.
constexpr long long kMaxSide = std::numeric_limits<int>::max();

std::uint32_t le32(const std::uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::int16_t le16s(const std::uint8_t *p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }
std::uint16_t le16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
void putLe32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The extent (x, y) of a Windows metafile's first SETWINDOWEXT record; false
// when none comes before the end-of-file record or a record that runs past the
// bytes.
bool firstWindowExtent(const std::vector<std::uint8_t> &bytes, int &x, int &y) {
    constexpr std::uint16_t kEndOfFile = 0x0000, kSetWindowExt = 0x020C;
    if (bytes.size() < 18) return false;
    std::size_t at = std::size_t{le16(bytes.data() + 2)} * 2;  // the header's own size, in words
    while (at <= bytes.size() - 6) {
        const std::uint32_t words = le32(bytes.data() + at);
        const std::uint16_t function = le16(bytes.data() + at + 4);
        if (function == kEndOfFile || words < 3 || words > (bytes.size() - at) / 2) return false;
        if (function == kSetWindowExt && words >= 5) {
            y = le16s(bytes.data() + at + 6);
            x = le16s(bytes.data() + at + 8);
            return true;
        }
        at += std::size_t{words} * 2;
    }
    return false;
}

// Wine's GDI writes past its buffers when it draws an ellipse, arc, chord, pie
// or rounded corner about a million device pixels across (found replaying
// damaged files; 2^16 draws). No such shape shows on a terminal's screen any
// differently from a far smaller one, so a record that asks for one is left out.
constexpr long long kMaxCurvePixels = 1 << 16;

// Whether the logical box (left, top, right, bottom) stays within
// kMaxCurvePixels a side on the device, in the state the play has reached.
bool curveBoxFits(HDC dc, long long left, long long top, long long right, long long bottom) {
    constexpr long long kLogical = 1LL << 30;  // beyond what LPtoDP takes without overflow
    for (long long v : {left, top, right, bottom})
        if (v < -kLogical || v > kLogical) return false;
    POINT corners[4] = {{static_cast<LONG>(left), static_cast<LONG>(top)},
                        {static_cast<LONG>(right), static_cast<LONG>(top)},
                        {static_cast<LONG>(left), static_cast<LONG>(bottom)},
                        {static_cast<LONG>(right), static_cast<LONG>(bottom)}};
    if (!LPtoDP(dc, corners, 4)) return false;
    long long minX = corners[0].x, maxX = minX, minY = corners[0].y, maxY = minY;
    for (const POINT &p : corners) {
        minX = std::min<long long>(minX, p.x), maxX = std::max<long long>(maxX, p.x);
        minY = std::min<long long>(minY, p.y), maxY = std::max<long long>(maxY, p.y);
    }
    return maxX - minX <= kMaxCurvePixels && maxY - minY <= kMaxCurvePixels;
}

// An enhanced metafile's record, played unless it is a curve too large (the
// walk has checked its length).
int CALLBACK playEnhancedRecord(HDC dc, HANDLETABLE *table, const ENHMETARECORD *record, int handles, LPARAM) {
    const auto *fields = reinterpret_cast<const std::uint8_t *>(record);
    const auto at = [&](int offset) { return static_cast<std::int32_t>(le32(fields + offset)); };
    switch (record->iType) {
    case EMR_ELLIPSE:
    case EMR_ROUNDRECT:
    case EMR_ARC:
    case EMR_ARCTO:
    case EMR_CHORD:
    case EMR_PIE:
        if (!curveBoxFits(dc, at(8), at(12), at(16), at(20))) return TRUE;
        break;
    case EMR_ANGLEARC: {
        const long long x = at(8), y = at(12), radius = le32(fields + 16);
        if (!curveBoxFits(dc, x - radius, y - radius, x + radius, y + radius)) return TRUE;
        break;
    }
    default: break;
    }
    PlayEnhMetaFileRecord(dc, table, record, static_cast<UINT>(handles));
    return TRUE;
}

// The same for a Windows metafile's record: its parameters come last first.
int CALLBACK playWindowsRecord(HDC dc, HANDLETABLE *table, METARECORD *record, int objects, LPARAM) {
    const auto parameter = [&](int i) { return static_cast<std::int16_t>(record->rdParm[i]); };
    int box = -1;  // where the box's bottom is among the parameters
    switch (record->rdFunction) {
    case META_ELLIPSE: box = 0; break;
    case META_ROUNDRECT: box = 2; break;
    case META_ARC:
    case META_CHORD:
    case META_PIE: box = 4; break;
    default: break;
    }
    if (box >= 0 && !curveBoxFits(dc, parameter(box + 3), parameter(box + 2), parameter(box + 1), parameter(box)))
        return TRUE;
    PlayMetaFileRecord(dc, table, record, static_cast<UINT>(objects));
    return TRUE;
}

// Where the metafile's frame lands, in fractions of the target rectangle: the
// whole target for a file played into its frame.
struct FramePlacement {
    double left = 0, top = 0, right = 1, bottom = 1;
};

// Plays `draw` onto a 24-bit DIB section that holds the canvas, clipped to the
// target rectangle, and copies the result back; false when nothing was played.
template <typename Draw>
bool drawOnCanvas(RgbCanvas &canvas, const TargetRect &target, Draw draw) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = canvas.width;
    info.bmiHeader.biHeight = -canvas.height;  // rows top first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr) return false;
    HBITMAP surface = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (surface == nullptr || bits == nullptr) {
        if (surface != nullptr) DeleteObject(surface);
        DeleteDC(dc);
        return false;
    }
    HGDIOBJ previous = SelectObject(dc, surface);

    // DIB rows are blue, green, red and padded to 4 bytes.
    const std::size_t stride = (static_cast<std::size_t>(canvas.width) * 3 + 3) & ~std::size_t{3};
    auto *rows = static_cast<std::uint8_t *>(bits);
    for (int y = 0; y < canvas.height; ++y)
        for (int x = 0; x < canvas.width; ++x) {
            const std::uint8_t *p = canvas.pixel(x, y);
            std::uint8_t *q = rows + y * stride + x * 3;
            q[0] = p[2], q[1] = p[1], q[2] = p[0];
        }

    IntersectClipRect(dc, target.x, target.y, target.x + target.width, target.y + target.height);
    const bool played = draw(dc);
    GdiFlush();

    if (played)
        for (int y = 0; y < canvas.height; ++y)
            for (int x = 0; x < canvas.width; ++x) {
                std::uint8_t *p = canvas.pixel(x, y);
                const std::uint8_t *q = rows + y * stride + x * 3;
                p[0] = q[2], p[1] = q[1], p[2] = q[0];
            }
    SelectObject(dc, previous);
    DeleteObject(surface);
    DeleteDC(dc);
    return played;
}

class EnhancedMetafile final : public Picture {
public:
    EnhancedMetafile(HENHMETAFILE metafile, int width, int height, FramePlacement placement)
        : Picture(width, height), metafile_(metafile), placement_(placement) {}
    ~EnhancedMetafile() override { DeleteEnhMetaFile(metafile_); }
    EnhancedMetafile(const EnhancedMetafile &) = delete;
    EnhancedMetafile &operator=(const EnhancedMetafile &) = delete;

    bool play(RgbCanvas &canvas, const TargetRect &target) const override {
        if (target.width <= 0 || target.height <= 0) return true;
        const RECT frame{static_cast<LONG>(std::lround(target.x + placement_.left * target.width)),
                         static_cast<LONG>(std::lround(target.y + placement_.top * target.height)),
                         static_cast<LONG>(std::lround(target.x + placement_.right * target.width)),
                         static_cast<LONG>(std::lround(target.y + placement_.bottom * target.height))};
        return drawOnCanvas(canvas, target,
                            [&](HDC dc) { return EnumEnhMetaFile(dc, metafile_, playEnhancedRecord, nullptr, &frame) != FALSE; });
    }

private:
    HENHMETAFILE metafile_;
    FramePlacement placement_;
};

// A placeable Windows metafile, played as such files are: its logical frame
// (the header's box, unless its records set their own window) mapped onto the
// target rectangle.
class PlaceableMetafile final : public Picture {
public:
    PlaceableMetafile(HMETAFILE metafile, int width, int height, RECT box)
        : Picture(width, height), metafile_(metafile), box_(box) {}
    ~PlaceableMetafile() override { DeleteMetaFile(metafile_); }
    PlaceableMetafile(const PlaceableMetafile &) = delete;
    PlaceableMetafile &operator=(const PlaceableMetafile &) = delete;

    bool play(RgbCanvas &canvas, const TargetRect &target) const override {
        if (target.width <= 0 || target.height <= 0) return true;
        return drawOnCanvas(canvas, target, [&](HDC dc) {
            SetMapMode(dc, MM_ANISOTROPIC);
            SetWindowOrgEx(dc, box_.left, box_.top, nullptr);
            SetWindowExtEx(dc, box_.right - box_.left, box_.bottom - box_.top, nullptr);
            SetViewportOrgEx(dc, target.x, target.y, nullptr);
            SetViewportExtEx(dc, target.width, target.height, nullptr);
            return EnumMetaFile(dc, metafile_, playWindowsRecord, 0) != FALSE;
        });
    }

private:
    HMETAFILE metafile_;
    RECT box_;
};

bool usableSize(long long width, long long height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide;
}

}  // namespace

// Files are walked as the Linux player walks them before GDI sees them: a record
// past the end, a missing end record or too many records refuse the file.
std::unique_ptr<Picture> loadEnhancedMetafile(const std::vector<std::uint8_t> &bytes) {
    const std::optional<gdi::EnhancedMetafile> walked = gdi::readEnhancedMetafile(bytes);
    if (!walked) return nullptr;
    // The header record: type 1, the frame (hundredths of a millimetre) at 24,
    // the signature " EMF" at 40.
    if (bytes.size() < 88 || le32(bytes.data()) != 1 || le32(bytes.data() + 40) != 0x464D4520) return nullptr;
    const auto frame = [&](int at) { return static_cast<std::int32_t>(le32(bytes.data() + at)); };
    const double toPixels = kDotsPerInch / 2540.0;
    const long long width = std::llround((static_cast<double>(frame(32)) - frame(24)) * toPixels);
    const long long height = std::llround((static_cast<double>(frame(36)) - frame(28)) * toPixels);
    if (!usableSize(width, height)) return nullptr;
    // GDI plays on past an end record to the size the header gives: it gets
    // the records the walk checked and no more.
    std::vector<std::uint8_t> checked(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(walked->length));
    putLe32(checked.data() + 48, static_cast<std::uint32_t>(walked->length));
    putLe32(checked.data() + 52, walked->records);
    HENHMETAFILE metafile = SetEnhMetaFileBits(static_cast<UINT>(checked.size()), checked.data());
    if (metafile == nullptr) return nullptr;
    return std::make_unique<EnhancedMetafile>(metafile, static_cast<int>(width), static_cast<int>(height),
                                              FramePlacement{});
}

static std::unique_ptr<Picture> loadCheckedWindowsMetafile(const std::vector<std::uint8_t> &bytes);

std::unique_ptr<Picture> loadWindowsMetafile(const std::vector<std::uint8_t> &bytes) {
    const std::size_t skip = gdi::readPlaceableHeader(bytes) ? gdi::kPlaceableHeaderBytes : 0;
    if (bytes.size() < skip) return nullptr;
    const std::optional<gdi::WindowsMetafile> walked =
        gdi::readWindowsMetafile(std::span<const std::uint8_t>(bytes).subspan(skip));
    if (!walked) return nullptr;
    // As for enhanced metafiles: up to the end record, the header's size put right.
    std::vector<std::uint8_t> checked(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(skip + walked->length));
    putLe32(checked.data() + skip + 6, static_cast<std::uint32_t>(walked->length / 2));
    return loadCheckedWindowsMetafile(checked);
}

static std::unique_ptr<Picture> loadCheckedWindowsMetafile(const std::vector<std::uint8_t> &bytes) {
    // Placeable header: key, handle, left, top, right, bottom, units per inch,
    // reserved, checksum; the metafile proper follows.
    constexpr std::size_t kPlaceableHeader = 22;
    if (bytes.size() >= kPlaceableHeader && le32(bytes.data()) == 0x9AC6CDD7u) {
        const std::uint8_t *header = bytes.data();
        const int inch = le16s(header + 14);
        const int across = le16s(header + 10) - le16s(header + 6);
        const int down = le16s(header + 12) - le16s(header + 8);
        if (inch <= 0 || bytes.size() <= kPlaceableHeader) return nullptr;
        const long long width = std::llround(std::abs(across) * kDotsPerInch / inch);
        const long long height = std::llround(std::abs(down) * kDotsPerInch / inch);
        if (!usableSize(width, height)) return nullptr;
        HMETAFILE metafile = SetMetaFileBitsEx(static_cast<UINT>(bytes.size() - kPlaceableHeader),
                                               bytes.data() + kPlaceableHeader);
        if (metafile == nullptr) return nullptr;
        const RECT box{le16s(header + 6), le16s(header + 8), le16s(header + 10), le16s(header + 12)};
        return std::make_unique<PlaceableMetafile>(metafile, static_cast<int>(width), static_cast<int>(height), box);
    }

    // Without the header the picture is what its records cover: the converted
    // file's bounds, in pixels of the reference device (the screen). Left to
    // itself GDI maps the file's window onto the whole screen, so the picture's
    // shape would follow the monitor's; instead the window is mapped one unit
    // to one pixel (its flips kept) by giving its extent as the picture's size,
    // and a file that sets no window is played in pixels as it is.
    if (bytes.size() < 18 || le32(bytes.data()) != 0x00090001u) return nullptr;
    HDC reference = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
    if (reference == nullptr) return nullptr;
    METAFILEPICT size{MM_TEXT, 0, 0, nullptr};
    int windowX = 0, windowY = 0;
    const int pixelsX = GetDeviceCaps(reference, HORZRES), pixelsY = GetDeviceCaps(reference, VERTRES);
    const int millimetresX = GetDeviceCaps(reference, HORZSIZE), millimetresY = GetDeviceCaps(reference, VERTSIZE);
    if (firstWindowExtent(bytes, windowX, windowY) && windowX != 0 && windowY != 0 && pixelsX > 0 && pixelsY > 0 &&
        millimetresX > 0 && millimetresY > 0) {
        // The extent in hundredths of a millimetre at the reference's resolution.
        size.mm = MM_ANISOTROPIC;
        size.xExt = std::lround(std::abs(windowX) * millimetresX * 100.0 / pixelsX);
        size.yExt = std::lround(std::abs(windowY) * millimetresY * 100.0 / pixelsY);
    }
    HENHMETAFILE metafile = SetWinMetaFileBits(static_cast<UINT>(bytes.size()), bytes.data(), reference, &size);
    DeleteDC(reference);
    if (metafile == nullptr) return nullptr;
    ENHMETAHEADER header{};
    if (GetEnhMetaFileHeader(metafile, sizeof header, &header) == 0 || header.szlMillimeters.cx <= 0 ||
        header.szlMillimeters.cy <= 0) {
        DeleteEnhMetaFile(metafile);
        return nullptr;
    }
    const RECTL bounds = header.rclBounds;  // inclusive
    const long long width = static_cast<long long>(bounds.right) - bounds.left + 1;
    const long long height = static_cast<long long>(bounds.bottom) - bounds.top + 1;
    if (!usableSize(width, height) || bounds.right < bounds.left || bounds.bottom < bounds.top) {
        DeleteEnhMetaFile(metafile);
        return nullptr;
    }
    // The frame in screen pixels, placed relative to the bounds.
    const double perX = static_cast<double>(header.szlDevice.cx) / (header.szlMillimeters.cx * 100.0);
    const double perY = static_cast<double>(header.szlDevice.cy) / (header.szlMillimeters.cy * 100.0);
    FramePlacement placement{(header.rclFrame.left * perX - bounds.left) / width,
                             (header.rclFrame.top * perY - bounds.top) / height,
                             (header.rclFrame.right * perX - bounds.left) / width,
                             (header.rclFrame.bottom * perY - bounds.top) / height};
    return std::make_unique<EnhancedMetafile>(metafile, static_cast<int>(width), static_cast<int>(height), placement);
}

}  // namespace ks318::port
