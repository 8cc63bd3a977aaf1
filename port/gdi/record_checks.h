// Whether a metafile record's own counts, offsets and sizes stay inside it:
// point and polygon counts, text lengths and their spacing arrays, bitmaps
// (header, colour table and pixel rows), regions, palettes and the records'
// fixed fields; and whether the objects it names are slots of the file's
// object table. GDI reads what these fields name without looking at the record's
// size, so a file with one record that claims more than it holds is refused
// before any player sees it, on both platforms (metafile_records.cpp).
// Records of kinds not known here are not checked: every player skips them.
#pragma once

#include <cstdint>
#include <span>

namespace ks318::port::gdi {

// `record` is the whole record (size, function and parameters) of a Windows
// metafile whose header gives `objects` slots.
bool windowsRecordFits(std::uint16_t function, std::span<const std::uint8_t> record, std::uint32_t objects);

// `record` is the whole record (type, size and fields) of an enhanced metafile
// whose header gives `handles` slots (the first is the file's own).
bool enhancedRecordFits(std::uint32_t type, std::span<const std::uint8_t> record, std::uint32_t handles);

}  // namespace ks318::port::gdi
