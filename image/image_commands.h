// The image traffic to one terminal: full-screen palette images (37), pixel
// blocks (131), palettes (133), and reading back the image-update configuration
// the terminal reported (148). Pixel data goes to the socket straight from the
// caller's memory; only the header and the palette or block header are copied.
#pragma once

#include <cstdint>

#include "server/terminal.h"

namespace ks318::image {

inline constexpr int kPaletteBytes = 768;
inline constexpr int kPieceBytes = 1280;
inline constexpr int kBlockHeaderBytes = 8;
inline constexpr int kImageUpdateConfigBytes = 112;

inline constexpr std::uint16_t kFullScreenImageCode = 37;
inline constexpr std::uint16_t kLoadImageCode = 129;
inline constexpr std::uint16_t kBlockCode = 131;
inline constexpr std::uint16_t kPaletteCode = 133;
inline constexpr std::uint16_t kSendImageUpdateCode = 145;
inline constexpr std::uint16_t kRequestImageUpdateCode = 147;
inline constexpr std::uint16_t kUpdateImagesCode = 149;

// The screen a terminal of a model shows: 320 × 240 for model 318, 480 × 272
// (130,560 pixels) for every other model.
struct ScreenSize {
    int width;
    int height;
    int pixels() const { return width * height; }
    // The 1,280-byte pieces a full-screen image of this size travels in.
    int pieces() const { return pixels() / kPieceBytes; }
};
ScreenSize screenForModel(int model);

// Sends command 37: the palette, then `screen.pixels()` bytes of pixels in
// pieces, all gathered into as few send calls as the socket takes.
// 1 when all went out, -1 when a write failed (the frame stays incomplete),
// 0 when no frame buffer could be had, -2 at once when another image or block
// is on its way to this terminal, or when the send gate stayed busy.
int sendFullScreenImage(TTerminal &terminal, int gateLimitMs, ScreenSize screen, const std::uint8_t *palette,
                        const std::uint8_t *pixels);

// Sends command 131: the block header (low 16 bits of each argument), then
// height rows of width bytes, one write per row; the length field is
// width × height + 8 as a 32-bit value. Results as sendFullScreenImage; 0 and
// nothing sent for a negative width or height, or a block whose length does not
// fit that field.
int sendBlock(TTerminal &terminal, int gateLimitMs, std::int32_t x, std::int32_t y, std::int32_t width,
              std::int32_t height, const std::uint8_t *pixels);

// Sends command 133 with the 768-byte palette: 1 when the frame went out,
// -1 when the write failed, -2 when the send gate stayed busy.
int sendPalette(TTerminal &terminal, int gateLimitMs, const std::uint8_t *palette);

// Writes the terminal's last reported image-update configuration into a
// 112-byte host record: the text up to its zero, bytes behind it left alone.
void readImageUpdateConfig(const TTerminal &terminal, std::uint8_t *record);

}  // namespace ks318::image
