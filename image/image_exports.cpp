// The image exports: full-screen images, blocks, palettes, stored images, the
// image-update configuration, and pictures converted from files.
#include "ks318.h"

#include <cstdint>
#include <string>

#include "api/export_conventions.h"
#include "image/image_commands.h"
#include "image/picture_conversion.h"
#include "port/picture.h"
#include "server/bytes.h"

using ks318::TTerminal;
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
    if (!ks318::port::pictureFileExists(fileName)) {
        ks318::port::noteFailure(fileName == nullptr ? std::string("no file name") : std::string("no file ") + fileName);
        return 0;
    }
    // The image is built at the size of the terminal found here and sent to that
    // same terminal, so a number that moves meanwhile cannot mismatch the two.
    return onTerminal(terminal, kPlain, [&](TTerminal &record) {
        const image::ScreenSize screen = image::screenForModel(record.modelNumber());
        image::TerminalImage converted;
        if (!image::convertPictureFile(fileName, screen, converted)) {
            ks318::port::noteFailure(std::string("the picture in ") + fileName + " could not be decoded");
            return 0;
        }
        return image::sendFullScreenImage(record, sendGateLimitMs(), screen, converted.palette,
                                          converted.pixels.data());
    });
}

}  // extern "C"
