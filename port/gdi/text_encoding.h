// The text of metafile records, turned into UTF-8 for drawing: the 8-bit code
// page a font's character set names, or UTF-16 (enhanced metafiles' wide text).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ks318::port::gdi {

// Each byte becomes one character of the character set's Windows code page
// (1252 for the default and unknown sets; the symbol set keeps bytes as Latin-1).
std::u32string decodeAnsi(std::span<const std::uint8_t> bytes, std::uint8_t charset);
// UTF-16 code units (little-endian); a lone surrogate becomes U+FFFD.
std::u32string decodeUtf16(std::span<const std::uint8_t> bytes);
std::string toUtf8(std::u32string_view text);

}  // namespace ks318::port::gdi
