// The terminal's side of the wire format, written independently of the server's
// so that a fault in one is not hidden by the same fault in the other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks318::sim {

using Bytes = std::vector<std::uint8_t>;

struct Frame {
    std::uint16_t code = 0;
    std::int32_t length = 0;  // as the header announced it
    Bytes payload;            // what followed the header
    // The frame exactly as it travelled: header and payload.
    Bytes wire() const;
};

// A header announcing `length` followed by `payload` (which may be shorter or longer).
Bytes encodeFrame(std::uint16_t code, std::int32_t length, const Bytes &payload = {});
// A header whose length is the payload's size, followed by the payload.
Bytes encodeFrame(std::uint16_t code, const Bytes &payload = {});

// Little-endian pieces for building payloads.
Bytes le16(std::uint16_t value);
Bytes le32(std::uint32_t value);
// A text in a zero-filled field of `width` bytes (cut to fit, unterminated if it fills it).
Bytes field(const std::string &text, std::size_t width);
Bytes concat(std::initializer_list<Bytes> parts);
std::uint32_t readLE32(const Bytes &bytes, std::size_t offset);
std::uint16_t readLE16(const Bytes &bytes, std::size_t offset);

}  // namespace ks318::sim
