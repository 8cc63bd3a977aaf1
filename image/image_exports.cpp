// The image exports: full-screen images, blocks, palettes, stored images, the
// image-update configuration, and pictures converted from files.
#include "ks318.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "api/export_conventions.h"
#include "image/image_commands.h"
#include "image/picture_conversion.h"
#include "port/picture.h"
#include "server/bytes.h"

using ks318::TTerminal;
using ks318::api::atBoundary;
using ks318::api::ExportRule;
using ks318::api::onTerminal;
using ks318::api::Requires;
using ks318::api::sendCommand;
using ks318::api::sendGateLimitMs;
namespace image = ks318::image;

namespace {

constexpr ExportRule kPlain{0, Requires::Nothing};
constexpr ExportRule kVersionGated{0, Requires::Version32};

const std::uint8_t *bytesOf(const void *pointer) { return static_cast<const std::uint8_t *>(pointer); }

// The first step of every picture export: the file must be there. It is checked
// before anything else is looked at (the terminal, the buffers), so a missing
// file gives the same reason whatever else is wrong.
bool pictureFileNamed(const char *fileName) {
    if (ks318::port::pictureFileExists(fileName)) return true;
    ks318::port::noteFailure(fileName == nullptr ? std::string("no file name") : std::string("no file ") + fileName);
    return false;
}

// The one conversion of a picture file into a terminal image, made by
// kq_sendimgfromfile and kq_convertimgfromfile alike, so a host that converts
// once and sends the result gets the very bytes a send from the file would.
// False with the reason noted when the picture cannot be used.
bool convertForScreen(const char *fileName, image::ScreenSize screen, image::TerminalImage &converted) {
    if (image::convertPictureFile(fileName, screen, converted)) return true;
    ks318::port::noteFailure(std::string("the picture in ") + fileName + " could not be decoded");
    return false;
}

}  // namespace

extern "C" {

KQ_API int32_t KQ_CALL kq_sendimage(int32_t terminal, void *palette, void *pixels) {
    return onTerminal(terminal, kPlain, [&](TTerminal &record) {
        if (palette == nullptr || pixels == nullptr) return 0;
        // The model is read once: the size announced and the bytes sent agree.
        const image::ScreenSize screen = image::screenForModel(record.modelNumber());
        return image::sendFullScreenImage(record, sendGateLimitMs(), screen, bytesOf(palette), bytesOf(pixels));
    });
}

KQ_API int32_t KQ_CALL kq_sendimageblock(int32_t terminal, int32_t x, int32_t y, int32_t width, int32_t height,
                                         void *pixels) {
    return onTerminal(terminal, kPlain, [&](TTerminal &record) {
        return image::sendBlock(record, sendGateLimitMs(), x, y, width, height, bytesOf(pixels));
    });
}

KQ_API int32_t KQ_CALL kq_loadimage(int32_t terminal, int32_t imageNumber) {
    return onTerminal(terminal, kVersionGated, [&](TTerminal &record) {
        std::uint8_t payload[4];
        ks318::storeLE32(payload, static_cast<std::uint32_t>(imageNumber));
        return sendCommand(record, image::kLoadImageCode, payload, sizeof payload);
    });
}

KQ_API int32_t KQ_CALL kq_enviapaleta(int32_t terminal, void *palette) {
    return onTerminal(terminal, kVersionGated, [&](TTerminal &record) {
        if (palette == nullptr) return 0;
        return image::sendPalette(record, sendGateLimitMs(), bytesOf(palette));
    });
}

KQ_API int32_t KQ_CALL kq_sendimageupdate(int32_t terminal, void *config) {
    return onTerminal(terminal, kVersionGated, [&](TTerminal &record) {
        if (config == nullptr) return 0;
        return sendCommand(record, image::kSendImageUpdateCode, config, image::kImageUpdateConfigBytes);
    });
}

KQ_API int32_t KQ_CALL kq_reqimageupdate(int32_t terminal) {
    return onTerminal(terminal, kVersionGated,
                      [&](TTerminal &record) { return sendCommand(record, image::kRequestImageUpdateCode); });
}

KQ_API int32_t KQ_CALL kq_sendupdateimages(int32_t terminal) {
    return onTerminal(terminal, kVersionGated,
                      [&](TTerminal &record) { return sendCommand(record, image::kUpdateImagesCode); });
}

KQ_API int32_t KQ_CALL kq_getimageupdateconfig(int32_t terminal, void *config) {
    return onTerminal(terminal, kPlain, [&](TTerminal &record) {
        if (config == nullptr) return 0;
        image::readImageUpdateConfig(record, static_cast<std::uint8_t *>(config));
        return 1;
    });
}

KQ_API int32_t KQ_CALL kq_sendimgfromfile(int32_t terminal, const char *fileName) {
    // A missing file ends the call before the terminal is looked up.
    ks318::port::clearFailure();
    if (!pictureFileNamed(fileName)) return 0;
    // The image is built at the size of the terminal found here and sent to that
    // same terminal, so a number that moves meanwhile cannot mismatch the two.
    return onTerminal(terminal, kPlain, [&](TTerminal &record) {
        const image::ScreenSize screen = image::screenForModel(record.modelNumber());
        image::TerminalImage converted;
        if (!convertForScreen(fileName, screen, converted)) return 0;
        return image::sendFullScreenImage(record, sendGateLimitMs(), screen, converted.palette,
                                          converted.pixels.data());
    });
}

KQ_API int32_t KQ_CALL kq_convertimgfromfile(const char *fileName, int32_t model, void *palette, void *pixels) {
    return atBoundary(int32_t{0}, [&]() -> int32_t {
        if (!pictureFileNamed(fileName)) return 0;
        if (palette == nullptr || pixels == nullptr) {
            ks318::port::noteFailure(palette == nullptr ? "no palette buffer" : "no pixel buffer");
            return 0;
        }
        const image::ScreenSize screen = image::screenForModel(model);
        image::TerminalImage converted;
        if (!convertForScreen(fileName, screen, converted)) return 0;
        // The host's buffers are written only now: a refused picture leaves them as they were.
        std::memcpy(palette, converted.palette, image::kPaletteBytes);
        std::memcpy(pixels, converted.pixels.data(), static_cast<std::size_t>(screen.pixels()));
        return screen.pixels();
    });
}

}  // extern "C"
