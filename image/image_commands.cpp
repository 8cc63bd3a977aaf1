#include "image/image_commands.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "server/bytes.h"
#include "server/outbound.h"

namespace ks318::image {
namespace {

// Holds a terminal's image flag from a successful take until the transfer ends.
class ImageBusyHold {
public:
    explicit ImageBusyHold(SpinGate &flag) : flag_(flag), held_(flag.tryTake()) {}
    ~ImageBusyHold() {
        if (held_) flag_.release();
    }
    ImageBusyHold(const ImageBusyHold &) = delete;
    ImageBusyHold &operator=(const ImageBusyHold &) = delete;
    bool held() const { return held_; }

private:
    SpinGate &flag_;
    bool held_;
};

// sendFrame's result for the first part of a multi-piece frame: -1 or 0 end the
// transfer with that result.
constexpr bool firstPartSent(int result) { return result > 0; }

// What one sendAll is given at most: a block's pixels may pass what an int counts.
constexpr std::uint64_t kLargestSend = 1u << 30;

}  // namespace

ScreenSize screenForModel(int model) {
    return model == kModelSmallScreen ? ScreenSize{320, 240} : ScreenSize{480, 272};
}

int sendFullScreenImage(TTerminal &terminal, int gateLimitMs, ScreenSize screen, const std::uint8_t *palette,
                        const std::uint8_t *pixels) {
    ImageBusyHold busy(terminal.imageBusy);
    if (!busy.held()) return kSendGateBusy;
    const int pieces = screen.pieces();
    const std::int32_t length = kPaletteBytes + pieces * kPieceBytes;
    // The header and palette are assembled in one buffer; the pixels follow
    // straight from the caller's memory, where the frame's 1,280-byte pieces lie
    // end to end. Both go out in as few send calls as the socket takes, so the
    // terminal gets full segments rather than one small one per piece.
    std::uint8_t head[kHeaderBytes + kPaletteBytes];
    encodeHeader(head, kFullScreenImageCode, length);
    std::memcpy(head + kHeaderBytes, palette, kPaletteBytes);
    std::array<port::SendPiece, 2> frame{{{head, static_cast<int>(sizeof head)}, {pixels, pieces * kPieceBytes}}};
    return sendUnderGate(terminal, gateLimitMs, kHeaderBytes + std::int64_t{length},
                         [&](const FrameWriter &out) { return out.pieces(frame) < 0 ? -1 : 1; });
}

int sendBlock(TTerminal &terminal, int gateLimitMs, std::int32_t x, std::int32_t y, std::int32_t width,
              std::int32_t height, const std::uint8_t *pixels) {
    if (width < 0 || height < 0) return 0;
    if (pixels == nullptr && width > 0 && height > 0) return 0;
    // The length field holds width × height + 8 as a signed 32-bit value: a block
    // past that would announce fewer bytes than it sends, and the terminal would
    // take the rest for frames. It is refused.
    if (std::int64_t{width} * height + kBlockHeaderBytes > INT32_MAX) return 0;
    ImageBusyHold busy(terminal.imageBusy);
    if (!busy.held()) return kSendGateBusy;
    std::uint8_t header[kBlockHeaderBytes];
    storeLE16(header, static_cast<std::uint16_t>(x));
    storeLE16(header + 2, static_cast<std::uint16_t>(y));
    storeLE16(header + 4, static_cast<std::uint16_t>(width));
    storeLE16(header + 6, static_cast<std::uint16_t>(height));
    const auto length = static_cast<std::int32_t>(width * height + kBlockHeaderBytes);
    const std::uint64_t total = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    const auto frameBytes = static_cast<std::int64_t>(kHeaderBytes + kBlockHeaderBytes + total);
    return sendUnderGate(terminal, gateLimitMs, frameBytes, [&](const FrameWriter &out) {
        const int first = out.frame(header, kBlockHeaderBytes, kBlockCode, length);
        if (!firstPartSent(first)) return first;
        // The rows lie end to end in the caller's memory: they leave as one run.
        for (std::uint64_t done = 0; done < total;) {
            const int chunk = static_cast<int>(std::min<std::uint64_t>(total - done, kLargestSend));
            if (out.all(pixels + done, chunk) < 0) return -1;
            done += static_cast<std::uint64_t>(chunk);
        }
        return 1;
    });
}

int sendPalette(TTerminal &terminal, int gateLimitMs, const std::uint8_t *palette) {
    const int result = sendGatedFrame(terminal, gateLimitMs, kPaletteCode, palette, kPaletteBytes);
    return result == kHeaderBytes + kPaletteBytes ? 1 : result;
}

void readImageUpdateConfig(const TTerminal &terminal, std::uint8_t *record) {
    const ImageUpdateConfig config = terminal.imageUpdateConfig();
    storeLE32(record, static_cast<std::uint32_t>(config.first));
    // The stored text always holds its zero (setImageUpdateConfig cuts it to fit).
    std::memcpy(record + 4, config.text, strnlen(config.text, sizeof config.text - 1) + 1);
    storeLE32(record + 104, static_cast<std::uint32_t>(config.second));
    storeLE32(record + 108, static_cast<std::uint32_t>(config.third));
}

}  // namespace ks318::image
