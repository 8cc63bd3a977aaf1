// The metafiles that both platforms render for the cross-platform comparison.
#pragma once

#include <string>
#include <vector>

#include "tests/image/metafile_writer.h"

namespace ks318::test {

struct NamedMetafile {
    std::string name;  // file name, with the extension the loader goes by
    FileBytes bytes;
};

// Every common record kind of both formats, mapping modes, flipped and negative
// extents, placeable and plain WMFs, EMF frames larger and smaller than the
// drawing, text and bitmaps. Mostly large shapes: the comparison is by pixel,
// and text is drawn with different fonts on each platform.
std::vector<NamedMetafile> metafileSet();

}  // namespace ks318::test
