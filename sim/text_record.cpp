#include "sim/screen_text.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace ks318::sim {
namespace {

constexpr std::size_t kTextOffset = 4, kTextBytes = 128;
constexpr std::size_t kFontOffset = 132, kFontBytes = 32;

std::int16_t int16At(const Bytes &payload, std::size_t offset) {
    return static_cast<std::int16_t>(readLE16(payload, offset));
}

std::string textAt(const Bytes &payload, std::size_t offset, std::size_t width) {
    const auto begin = payload.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto end = std::find(begin, begin + static_cast<std::ptrdiff_t>(width), 0);
    return std::string(begin, end);
}

void putText(Bytes &record, std::size_t offset, std::size_t width, const std::string &text) {
    std::copy_n(text.begin(), std::min(text.size(), width - 1), record.begin() + static_cast<std::ptrdiff_t>(offset));
}

void putInt16(Bytes &record, std::size_t offset, std::int16_t value) {
    record[offset] = static_cast<std::uint8_t>(value);
    record[offset + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8);
}

// Decodes strict UTF-8 (no overlong forms, no surrogates); nothing when invalid.
std::optional<std::u32string> decodeUtf8(const std::string &text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra;
        char32_t cp;
        if (lead < 0x80) {
            extra = 0, cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + static_cast<std::size_t>(extra) >= text.size()) return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

}  // namespace

std::optional<TextRecord> TextRecord::parse(const Bytes &payload) {
    if (payload.size() != kBytes) return std::nullopt;
    TextRecord record;
    record.x = int16At(payload, 0);
    record.y = int16At(payload, 2);
    record.text = textAt(payload, kTextOffset, kTextBytes);
    record.fontName = textAt(payload, kFontOffset, kFontBytes);
    record.builtByEnviaTexto = int16At(payload, 164);
    record.colour = int16At(payload, 166);
    record.height = int16At(payload, 168);
    return record;
}

Bytes TextRecord::encode() const {
    Bytes record(kBytes, 0);
    putInt16(record, 0, x);
    putInt16(record, 2, y);
    putText(record, kTextOffset, kTextBytes, text);
    putText(record, kFontOffset, kFontBytes, fontName);
    putInt16(record, 164, builtByEnviaTexto);
    putInt16(record, 166, colour);
    putInt16(record, 168, height);
    return record;
}

int TextRecord::lineHeight() const { return height <= 0 ? kDefaultHeight : std::clamp<int>(height, 6, 200); }

std::u32string decodeText(const std::string &text) {
    if (auto utf8 = decodeUtf8(text)) return *utf8;
    std::u32string latin1;
    for (char c : text) latin1.push_back(static_cast<unsigned char>(c));
    return latin1;
}

std::uint8_t nearestEntry(const std::array<std::uint8_t, 768> &palette, int r, int g, int b, std::uint8_t preferred) {
    auto distance = [&](int entry) {
        const int dr = palette[entry * 3] - r, dg = palette[entry * 3 + 1] - g, db = palette[entry * 3 + 2] - b;
        return dr * dr + dg * dg + db * db;
    };
    int best = preferred;
    int bestDistance = distance(preferred);
    for (int entry = 0; entry < 256 && bestDistance > 0; ++entry) {
        const int d = distance(entry);
        if (d < bestDistance) best = entry, bestDistance = d;
    }
    return static_cast<std::uint8_t>(best);
}

}  // namespace ks318::sim
