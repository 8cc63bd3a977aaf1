#include "tools/console/palettes.h"

#include <algorithm>
#include <cmath>

namespace ks318::tools {

const char *paletteNames() { return "grey, rainbow, standard"; }

std::optional<Palette> namedPalette(const std::string &name) {
    Palette palette{};
    if (name == "grey") {
        for (int i = 0; i < 256; ++i) palette[i * 3] = palette[i * 3 + 1] = palette[i * 3 + 2] = static_cast<std::uint8_t>(i);
    } else if (name == "rainbow") {
        // 16 rows of 16 hues, each row darker than the one before.
        for (int i = 0; i < 256; ++i) {
            const double hue = (i % 16) / 16.0 * 6.0, light = 1.0 - (i / 16) / 17.0;
            const double x = 1.0 - std::fabs(std::fmod(hue, 2.0) - 1.0);
            double rgb[3];
            switch (static_cast<int>(hue)) {
            case 0: rgb[0] = 1, rgb[1] = x, rgb[2] = 0; break;
            case 1: rgb[0] = x, rgb[1] = 1, rgb[2] = 0; break;
            case 2: rgb[0] = 0, rgb[1] = 1, rgb[2] = x; break;
            case 3: rgb[0] = 0, rgb[1] = x, rgb[2] = 1; break;
            case 4: rgb[0] = x, rgb[1] = 0, rgb[2] = 1; break;
            default: rgb[0] = 1, rgb[1] = 0, rgb[2] = x; break;
            }
            for (int c = 0; c < 3; ++c) palette[i * 3 + c] = static_cast<std::uint8_t>(std::lround(rgb[c] * light * 255));
        }
    } else if (name == "standard") {
        static constexpr std::uint8_t kBasic[16][3] = {
            {0, 0, 0},     {128, 0, 0},   {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
            {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {255, 255, 0},
            {0, 0, 255},   {255, 0, 255}, {0, 255, 255},   {255, 255, 255}};
        static constexpr std::uint8_t kLevels[6] = {0, 95, 135, 175, 215, 255};
        for (int i = 0; i < 256; ++i) {
            std::uint8_t *rgb = palette.data() + i * 3;
            if (i < 16) {
                std::copy_n(kBasic[i], 3, rgb);
            } else if (i < 232) {
                rgb[0] = kLevels[(i - 16) / 36], rgb[1] = kLevels[(i - 16) / 6 % 6], rgb[2] = kLevels[(i - 16) % 6];
            } else {
                rgb[0] = rgb[1] = rgb[2] = static_cast<std::uint8_t>(8 + 10 * (i - 232));
            }
        }
    } else {
        return std::nullopt;
    }
    return palette;
}

}  // namespace ks318::tools
