// Follows the frames in a byte stream from the server, whatever pieces it comes
// in, so that a reader that drops the bytes still knows where each header is and
// can answer the server's requests as a terminal does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ks318::bench {

class FrameWalker {
public:
    // Calls onHeader(code, length) for every header that completes in the bytes.
    template <class OnHeader>
    void feed(const std::uint8_t *bytes, std::size_t count, OnHeader &&onHeader) {
        while (count > 0) {
            if (skip_ > 0) {
                const std::size_t piece = count < skip_ ? count : static_cast<std::size_t>(skip_);
                skip_ -= piece;
                bytes += piece;
                count -= piece;
                continue;
            }
            header_[filled_++] = *bytes++;
            --count;
            if (filled_ < sizeof header_) continue;
            filled_ = 0;
            const auto code = static_cast<std::uint16_t>(header_[1] | (header_[2] << 8));
            const auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(header_[3]) |
                                                          static_cast<std::uint32_t>(header_[4]) << 8 |
                                                          static_cast<std::uint32_t>(header_[5]) << 16 |
                                                          static_cast<std::uint32_t>(header_[6]) << 24);
            skip_ = length > 0 ? static_cast<std::uint64_t>(length) : 0;
            onHeader(code, length);
        }
    }

private:
    std::uint8_t header_[7] = {};
    std::size_t filled_ = 0;
    std::uint64_t skip_ = 0;
};

}  // namespace ks318::bench
