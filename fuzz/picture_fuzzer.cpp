// Feeds arbitrary bytes to the picture path as the whole of a picture file of
// one format (KS318_PICTURE_FORMAT, one target per format): decoding or playing,
// fitting onto a 320 × 240 screen and colour reduction, as a picture file sent to
// a model 318 terminal goes.
//
// With KS318_FUZZ_MUST_DRAW set in the environment, every input must also
// convert and show at least two colours: how scripts/fuzz.sh checks that the
// kept seeds still reach the drawing code rather than only the rejections.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "image/picture_conversion.h"

namespace {

using ks318::image::kColourCount;
using ks318::image::kPaletteBytes;
using ks318::port::PictureFormat;

constexpr PictureFormat kFormat = PictureFormat::KS318_PICTURE_FORMAT;
constexpr int kModel = 318;

[[noreturn]] void fail(const char *what, long value) {
    std::fprintf(stderr, "picture_fuzzer: %s (%ld)\n", what, value);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool mustDraw = std::getenv("KS318_FUZZ_MUST_DRAW") != nullptr;
    static const ks318::image::ScreenSize screen = ks318::image::screenForModel(kModel);
    if (screen.width != 320 || screen.height != 240) fail("model 318 has another screen", screen.width);

    ks318::image::TerminalImage image;
    const bool converted =
        ks318::image::convertPictureBytes(kFormat, std::vector<std::uint8_t>(data, data + size), screen, image);
    if (!converted) {
        if (mustDraw) fail("a kept seed no longer converts; size", static_cast<long>(size));
        return 0;
    }

    // A converted picture is a full screen of indices into the colours it uses.
    if (image.pixels.size() != static_cast<std::size_t>(screen.pixels()))
        fail("image size differs from the screen's", static_cast<long>(image.pixels.size()));
    if (image.colours < 1 || image.colours > kColourCount) fail("colour count out of range", image.colours);
    for (std::uint8_t index : image.pixels)
        if (index >= image.colours) fail("pixel index past the palette", index);
    for (int i = image.colours * 3; i < kPaletteBytes; ++i)
        if (image.palette[i] != 0) fail("palette entry past the colours used is not black", i);
    if (mustDraw && image.colours < 2) fail("a kept seed draws nothing but one colour", image.colours);
    return 0;
}
