#include "port/gdi/text_encoding.h"

#include <iconv.h>

namespace ks318::port::gdi {
namespace {

const char *codePage(std::uint8_t charset) {
    switch (charset) {
    case 161: return "CP1253";  // Greek
    case 162: return "CP1254";  // Turkish
    case 177: return "CP1255";  // Hebrew
    case 178: return "CP1256";  // Arabic
    case 186: return "CP1257";  // Baltic
    case 204: return "CP1251";  // Cyrillic
    case 238: return "CP1250";  // Central European
    case 163: return "CP1258";  // Vietnamese
    case 222: return "CP874";   // Thai
    default: return "CP1252";
    }
}

}  // namespace

std::u32string decodeAnsi(std::span<const std::uint8_t> bytes, std::uint8_t charset) {
    std::u32string text;
    text.reserve(bytes.size());
    iconv_t converter = charset == 2 ? reinterpret_cast<iconv_t>(-1) : iconv_open("UTF-32LE", codePage(charset));
    for (std::uint8_t byte : bytes) {
        char32_t character = byte;
        if (converter != reinterpret_cast<iconv_t>(-1) && byte >= 0x80) {
            char in = static_cast<char>(byte);
            char out[4] = {};
            char *inPointer = &in, *outPointer = out;
            std::size_t inLeft = 1, outLeft = sizeof out;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
            if (iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft) != static_cast<std::size_t>(-1) &&
                outLeft == 0) {
                character = static_cast<std::uint8_t>(out[0]) | (static_cast<std::uint8_t>(out[1]) << 8) |
                            (static_cast<char32_t>(static_cast<std::uint8_t>(out[2])) << 16);
            } else {
                character = U'\uFFFD';
            }
        }
        text.push_back(character);
    }
    if (converter != reinterpret_cast<iconv_t>(-1)) iconv_close(converter);
    return text;
}

std::u32string decodeUtf16(std::span<const std::uint8_t> bytes) {
    std::u32string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char32_t unit = bytes[i] | (bytes[i + 1] << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const char32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                text.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        text.push_back(unit >= 0xD800 && unit < 0xE000 ? U'\uFFFD' : unit);
    }
    return text;
}

std::string toUtf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) {
        if (c == 0) continue;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x110000) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace ks318::port::gdi
