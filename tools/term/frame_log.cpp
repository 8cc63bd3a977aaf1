#include "tools/term/frame_log.h"

#include <algorithm>
#include <cstdio>

#include "sim/screen_text.h"
#include "tools/common/code_names.h"
#include "tools/common/words.h"

namespace ks318::tools {
namespace {

using sim::Bytes;

std::int32_t int32At(const Bytes &p, std::size_t offset) { return static_cast<std::int32_t>(sim::readLE32(p, offset)); }

std::string textField(const Bytes &p, std::size_t offset, std::size_t width) {
    const std::size_t end = std::min(p.size(), offset + width);
    const auto stop = std::find(p.begin() + static_cast<std::ptrdiff_t>(offset), p.begin() + static_cast<std::ptrdiff_t>(end), 0);
    return quoteText(std::string(p.begin() + static_cast<std::ptrdiff_t>(offset), stop));
}

std::string hex(const Bytes &p, std::size_t limit = 16) {
    std::string out;
    char piece[4];
    for (std::size_t i = 0; i < p.size() && i < limit; ++i) {
        std::snprintf(piece, sizeof piece, "%s%02X", i ? " " : "", p[i]);
        out += piece;
    }
    if (p.size() > limit) out += " ...";
    return out;
}

std::string fields(const sim::Frame &frame) {
    const Bytes &p = frame.payload;
    const std::size_t n = p.size();
    auto value = [&] { return std::to_string(int32At(p, 0)); };
    switch (frame.code) {
    case 20:
        if (n >= 3) return "version " + std::to_string(p[0]) + " model " + std::to_string(p[1] * 256 + p[2]);
        break;
    case 28:
        if (n >= 38) return "uid " + hex(Bytes(p.begin(), p.begin() + 6)) + " text " + textField(p, 6, 32);
        break;
    case 33:
        if (n >= 2) return "index " + std::to_string(p[0]) + " (fill value " + std::to_string(sim::readLE16(p, 0)) + ")";
        break;
    case 35:
        if (auto text = sim::TextRecord::parse(p))
            return "x " + std::to_string(text->x) + " y " + std::to_string(text->y) + " colour " +
                   std::to_string(text->colour) + " height " + std::to_string(text->height) + " font " +
                   quoteText(text->fontName) + " " + quoteText(text->text);
        break;
    case 37:
        if (n == 768 + 320 * 240) return "palette and 320 x 240 pixels";
        if (n == 768 + 480 * 272) return "palette and 130,560 pixels (480 x 272)";
        return "palette and " + std::to_string(n >= 768 ? n - 768 : 0) + " pixel bytes";
    case 39: case 42:
        if (n >= 2) return "time " + std::to_string(sim::readLE16(p, 0));
        break;
    case 49: case 65:
        if (n >= 4) return std::string(int32At(p, 0) != 0 ? "on" : "off") + " (" + value() + ")";
        break;
    case 53:
        if (n >= 1) return "key " + std::to_string(p[0]) + " " + quoteBytes(&p[0], 1);
        break;
    case 69:
        if (n >= 388) return "flags " + std::to_string(int32At(p, 384)) + " " + textField(p, 0, 128) + " " + textField(p, 128, 128);
        break;
    case 83: case 89: case 85: case 91:
        if (n >= 2) {
            const std::size_t count = sim::readLE16(p, 0);
            return "count " + std::to_string(count) + " " + quoteBytes(p.data() + 2, std::min(count, n - 2));
        }
        break;
    case 97: case 166: case 184:
        return "name " + textField(p, 0, std::min<std::size_t>(n, 128));
    case 98:
        if (n >= 132)
            return "name " + textField(p, 0, 128) + " found " + std::to_string(int32At(p, 128)) + " size " +
                   std::to_string(n - 132);
        break;
    case 99:
        if (n >= 128) return "name " + textField(p, 0, 128) + " size " + std::to_string(n - 128);
        break;
    case 131:
        if (n >= 8)
            return "x " + std::to_string(sim::readLE16(p, 0)) + " y " + std::to_string(sim::readLE16(p, 2)) + " width " +
                   std::to_string(sim::readLE16(p, 4)) + " height " + std::to_string(sim::readLE16(p, 6));
        break;
    case 133:
        if (n >= 768) return "entry 0 " + hex(Bytes(p.begin(), p.begin() + 3)) + ", entry 255 " + hex(Bytes(p.begin() + 765, p.begin() + 768));
        break;
    case 145: case 148:
        if (n >= 112) return "number " + value() + " text " + textField(p, 4, 100) + " " + std::to_string(int32At(p, 104)) + " " + std::to_string(int32At(p, 108));
        break;
    case 161:
        if (n >= 1) return "port " + std::to_string(p[0]);
        break;
    case 162: case 163:
        if (n >= 2) return "port " + std::to_string(p[0]) + " status " + std::to_string(p[1]);
        break;
    case 113: case 121:
        if (n >= 4) return "confirmation " + hex(p);
        break;
    default:
        break;
    }
    if (n == 4) return "value " + value();
    return n == 0 ? std::string() : hex(p);
}

}  // namespace

std::string describeFrame(const sim::Frame &frame) {
    char head[64];
    std::snprintf(head, sizeof head, "%3u %-22s %6d B", frame.code, codeName(frame.code).c_str(), frame.length);
    const std::string detail = fields(frame);
    return detail.empty() ? std::string(head) : std::string(head) + "  " + detail;
}

}  // namespace ks318::tools
