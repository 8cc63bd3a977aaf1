// Device-independent bitmaps inside metafile records: a header (core or info,
// any version), a colour table, and the pixels (1 to 32 bits, uncompressed, bit
// fields, RLE, or a JPEG or PNG stream), read with every size checked against
// the bytes the record holds.
#pragma once

#include <optional>

#include "port/gdi/byte_reader.h"
#include "port/gdi/gdi_objects.h"
#include "port/gdi/work_budget.h"

namespace ks318::port::gdi {

// The colour table holds colours (DIB_RGB_COLORS) or indices into the selected
// palette (DIB_PAL_COLORS).
enum class DibColours { rgb, paletteIndices };

// The header and colour table in `info`, the pixels in `bits`. Nothing for a
// damaged or short bitmap, or when the budget runs out (its pixels cost one unit
// each). A bitmap over the picture pixel limit spends the whole budget: no file
// may ask for that much.
std::optional<Bitmap> readDib(ByteReader info, ByteReader bits, DibColours colours, const Palette *palette,
                              WorkBudget &budget);

// A bitmap whose pixels follow its header and colour table, as Windows
// metafiles hold them.
std::optional<Bitmap> readPackedDib(ByteReader packed, DibColours colours, const Palette *palette, WorkBudget &budget);

}  // namespace ks318::port::gdi
