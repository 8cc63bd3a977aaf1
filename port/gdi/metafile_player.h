// Playing Windows metafiles (WMF) and enhanced metafiles (EMF) onto a cairo
// surface with the semantics of Windows' own player: the records change a
// device context and draw through it (see device_context.h and painter.h).
//
// A file is first walked whole: a record that reaches past the file's end, a
// file without its end record, or one of more than kMaxMetafileRecords records
// is refused before anything is drawn. Records the player does not know are
// skipped, as Windows skips them; a known record too short for its own fields
// is skipped too. A play that would spend more than the work budget stops and
// reports failure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <cairo.h>

#include "port/gdi/device_context.h"

namespace ks318::port::gdi {

// A Windows metafile: the 18-byte header and its records (after any placeable header).
struct WindowsMetafile {
    std::span<const std::uint8_t> bytes;
    std::uint16_t objects = 0;  // slots of the object table
};

// The header and the walk over the records; nothing when refused.
std::optional<WindowsMetafile> readWindowsMetafile(std::span<const std::uint8_t> bytes);

// The placeable header in front of a Windows metafile: its box in logical units
// and the units per inch.
struct PlaceableHeader {
    int left = 0, top = 0, right = 0, bottom = 0;
    int unitsPerInch = 0;
};
inline constexpr std::size_t kPlaceableHeaderBytes = 22;
std::optional<PlaceableHeader> readPlaceableHeader(std::span<const std::uint8_t> bytes);

// Plays the records onto `cr` (canvas pixels) through `dc`, whose mapping the
// caller has set up. False when the budget ran out.
bool playWindowsMetafile(const WindowsMetafile &metafile, cairo_t *cr, DeviceContext &dc);

// An enhanced metafile: the header's frame (hundredths of a millimetre) and the
// reference device's size in pixels and millimetres.
struct EnhancedMetafile {
    std::span<const std::uint8_t> bytes;
    int frameLeft = 0, frameTop = 0, frameRight = 0, frameBottom = 0;
    int devicePixelsX = 0, devicePixelsY = 0;
    int deviceMmX = 0, deviceMmY = 0;
    std::uint16_t handles = 0;
};

std::optional<EnhancedMetafile> readEnhancedMetafile(std::span<const std::uint8_t> bytes);

// The reference device's pixels per millimetre.
Point devicePixelsPerMm(const EnhancedMetafile &metafile);

bool playEnhancedMetafile(const EnhancedMetafile &metafile, cairo_t *cr, DeviceContext &dc);

}  // namespace ks318::port::gdi
