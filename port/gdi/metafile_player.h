// Playing Windows metafiles (WMF) and enhanced metafiles (EMF) onto a cairo
// surface with the semantics of Windows' own player: the records change a
// device context and draw through it (see device_context.h and painter.h).
//
// Files come walked and framed (metafile_records.h). Records the player does
// not know are skipped, as Windows skips them; a known record too short for its
// own fields is skipped too. A play that would spend more than the work budget
// stops and reports failure.
#pragma once

#include <cairo.h>

#include "port/gdi/device_context.h"
#include "port/gdi/metafile_records.h"

namespace ks318::port::gdi {

// Plays the records onto `cr` (canvas pixels) through `dc`, whose mapping the
// caller has set up. False when the budget ran out. With `ink`, nothing is
// drawn: `ink` gets the canvas pixels the drawing reaches (width 0: none), and
// `cr` only gives the fonts' measures.
bool playWindowsMetafile(const WindowsMetafile &metafile, cairo_t *cr, DeviceContext &dc,
                         cairo_rectangle_t *ink = nullptr);

// The reference device's pixels per millimetre.
Point devicePixelsPerMm(const EnhancedMetafile &metafile);

bool playEnhancedMetafile(const EnhancedMetafile &metafile, cairo_t *cr, DeviceContext &dc,
                          cairo_rectangle_t *ink = nullptr);

}  // namespace ks318::port::gdi
