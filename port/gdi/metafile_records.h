// The framing of Windows metafiles (WMF) and enhanced metafiles (EMF): their
// headers, and a walk over their records. A file is refused when a record
// reaches past its end, when its end record is missing, or when it has more
// than kMaxMetafileRecords records. Both platforms walk a file this way before
// it is played.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "port/gdi/work_budget.h"

namespace ks318::port::gdi {

// A Windows metafile: the 18-byte header and its records (after any placeable header).
inline constexpr std::size_t kWindowsMetafileHeaderBytes = 18;
struct WindowsMetafile {
    std::span<const std::uint8_t> bytes;
    std::uint16_t objects = 0;  // slots of the object table
    std::size_t length = 0;     // bytes up to and with the first end record: all any player reads
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

// An enhanced metafile: the header's frame (hundredths of a millimetre) and the
// reference device's size in pixels and millimetres.
struct EnhancedMetafile {
    std::span<const std::uint8_t> bytes;
    int frameLeft = 0, frameTop = 0, frameRight = 0, frameBottom = 0;
    int devicePixelsX = 0, devicePixelsY = 0;
    int deviceMmX = 0, deviceMmY = 0;
    std::uint16_t handles = 0;
    std::size_t length = 0;     // bytes up to and with the first end record: all any player reads
    std::uint32_t records = 0;  // records up to and with it
};

std::optional<EnhancedMetafile> readEnhancedMetafile(std::span<const std::uint8_t> bytes);

}  // namespace ks318::port::gdi
