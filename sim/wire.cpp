#include "sim/wire.h"

#include <algorithm>

namespace ks318::sim {

Bytes Frame::wire() const { return encodeFrame(code, length, payload); }

Bytes encodeFrame(std::uint16_t code, std::int32_t length, const Bytes &payload) {
    Bytes out{0x02};
    Bytes codeBytes = le16(code);
    Bytes lengthBytes = le32(static_cast<std::uint32_t>(length));
    out.insert(out.end(), codeBytes.begin(), codeBytes.end());
    out.insert(out.end(), lengthBytes.begin(), lengthBytes.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes encodeFrame(std::uint16_t code, const Bytes &payload) {
    return encodeFrame(code, static_cast<std::int32_t>(payload.size()), payload);
}

Bytes le16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
}

Bytes le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes field(const std::string &text, std::size_t width) {
    Bytes out(width, 0);
    std::copy_n(text.begin(), std::min(text.size(), width), out.begin());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::uint32_t readLE32(const Bytes &bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(i));
    return value;
}

std::uint16_t readLE16(const Bytes &bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}

}  // namespace ks318::sim
