// Where no font library is built for the platform (the Windows cross build), the
// simulated screen draws no letters: texts are read and answered, not painted.
#include "sim/screen_text.h"

namespace ks318::sim {

struct TextPainter::Face {};

TextPainter::TextPainter(std::filesystem::path defaultFont) : defaultFont_(std::move(defaultFont)) {}

TextPainter::~TextPainter() = default;

bool TextPainter::draw(const TextRecord &, std::vector<std::uint8_t> &, int, int,
                       const std::array<std::uint8_t, 768> &) {
    return false;
}

}  // namespace ks318::sim
