// Palettes the console can send by name: 256 entries of red, green, blue.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace ks318::tools {

using Palette = std::array<std::uint8_t, 768>;

// "grey" (black to white), "rainbow" (hues, bright to dark), "standard" (16
// basic colours, a 6 x 6 x 6 cube, 24 greys: what a terminal starts with);
// nothing for another name.
std::optional<Palette> namedPalette(const std::string &name);
const char *paletteNames();

}  // namespace ks318::tools
