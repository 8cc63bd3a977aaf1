#include "sim/screen.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <png.h>

namespace ks318::sim {
namespace {

constexpr int kPaletteBytes = 768;
constexpr std::size_t kConfigBytes = 112;

struct Size {
    int width, height;
};
constexpr Size kSmall{320, 240};
constexpr Size kWide{480, 272};

}  // namespace

std::array<std::uint8_t, 768> startPalette() {
    static constexpr std::uint8_t kBasic[16][3] = {
        {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},   {0, 0, 128},   {128, 0, 128},
        {0, 128, 128},   {192, 192, 192}, {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
        {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
    static constexpr std::uint8_t kCubeLevels[6] = {0, 95, 135, 175, 215, 255};
    std::array<std::uint8_t, 768> palette{};
    for (int entry = 0; entry < 256; ++entry) {
        std::uint8_t *rgb = palette.data() + entry * 3;
        if (entry < 16) {
            std::copy_n(kBasic[entry], 3, rgb);
        } else if (entry < 232) {
            const int cube = entry - 16;
            rgb[0] = kCubeLevels[cube / 36];
            rgb[1] = kCubeLevels[cube / 6 % 6];
            rgb[2] = kCubeLevels[cube % 6];
        } else {
            rgb[0] = rgb[1] = rgb[2] = static_cast<std::uint8_t>(8 + 10 * (entry - 232));
        }
    }
    return palette;
}

SimScreen::SimScreen(std::uint16_t model) : painter_(KS318_TEXT_FONT) {
    const Size size = model == 318 ? kSmall : kWide;
    resize(size.width, size.height);
}

std::shared_ptr<SimScreen> SimScreen::install(SimTerminal &terminal) {
    auto screen = std::make_shared<SimScreen>(terminal.identity().model);
    for (std::uint16_t code : {33, 35, 37, 131, 133, 145, 147, 149})
        terminal.onFrame(code, [screen](SimTerminal &self, const Frame &frame) { screen->apply(self, frame); });
    return screen;
}

void SimScreen::resize(int width, int height) {
    width_ = width;
    height_ = height;
    indices_.assign(static_cast<std::size_t>(width) * height, 0);
}

bool SimScreen::showImage(const Bytes &payload) {
    for (Size size : {kSmall, kWide}) {
        const std::size_t pixels = static_cast<std::size_t>(size.width) * size.height;
        if (payload.size() != kPaletteBytes + pixels) continue;
        if (size.width != width_ || size.height != height_) resize(size.width, size.height);
        std::copy_n(payload.begin(), kPaletteBytes, palette_.begin());
        std::copy(payload.begin() + kPaletteBytes, payload.end(), indices_.begin());
        return true;
    }
    return false;
}

bool SimScreen::isWholeScreenImage(const Frame &frame, int &width, int &height) {
    if (frame.code != 37) return false;
    for (Size size : {kSmall, kWide})
        if (frame.payload.size() == kPaletteBytes + static_cast<std::size_t>(size.width) * size.height) {
            width = size.width;
            height = size.height;
            return true;
        }
    return false;
}

bool SimScreen::drawBlock(const Bytes &payload) {
    if (payload.size() < 8) return false;
    const int x = readLE16(payload, 0), y = readLE16(payload, 2);
    const int width = readLE16(payload, 4), height = readLE16(payload, 6);
    if (payload.size() != 8 + static_cast<std::size_t>(width) * height) return false;
    // Pixels past the screen's edge are not shown.
    for (int row = 0; row < height && y + row < height_; ++row)
        for (int column = 0; column < width && x + column < width_; ++column)
            indices_[static_cast<std::size_t>(y + row) * width_ + x + column] =
                payload[8 + static_cast<std::size_t>(row) * width + column];
    return true;
}

bool SimScreen::drawText(const Bytes &payload) {
    const auto record = TextRecord::parse(payload);
    return record && painter_.draw(*record, indices_, width_, height_, palette_);
}

bool SimScreen::apply(SimTerminal &terminal, const Frame &frame) {
    Reply reply;
    const bool changed = change(frame, reply);
    if (reply.due) terminal.send(reply.code, reply.payload);
    return changed;
}

bool SimScreen::apply(const Frame &frame) {
    Reply reply;
    return change(frame, reply);
}

bool SimScreen::change(const Frame &frame, Reply &reply) {
    bool changed = false;
    std::string pngPath;
    {
        std::lock_guard lock(mutex_);
        switch (frame.code) {
        case 33:  // fill with a palette index (the low byte of the fill value)
            if (frame.payload.size() == 2) {
                std::fill(indices_.begin(), indices_.end(), frame.payload[0]);
                changed = true;
            }
            break;
        case 35:  // drawn, and acknowledged either way
            changed = drawText(frame.payload);
            reply = {true, 36, le32(changed ? 1 : 0)};
            break;
        case 37:
            changed = showImage(frame.payload);
            break;
        case 131:
            changed = drawBlock(frame.payload);
            break;
        case 133:
            if (frame.payload.size() == kPaletteBytes) {
                std::copy(frame.payload.begin(), frame.payload.end(), palette_.begin());
                changed = true;
            }
            break;
        case 145:
            if (frame.payload.size() == kConfigBytes) {
                imageUpdateConfig_ = frame.payload;
                changed = true;
            }
            break;
        case 147:
            reply = {true, 148, imageUpdateConfig_};
            break;
        case 149:
            reply = {true, 150, {}};
            break;
        default:
            break;
        }
        pngPath = pngPath_;
    }
    // The picture is on disk before the change is counted, so that whoever
    // waits for the change finds it there.
    if (changed) {
        if (!pngPath.empty()) savePng(pngPath);
        {
            std::lock_guard lock(mutex_);
            ++updates_;
        }
        changed_.notify_all();
    }
    return changed;
}

int SimScreen::width() const {
    std::lock_guard lock(mutex_);
    return width_;
}

int SimScreen::height() const {
    std::lock_guard lock(mutex_);
    return height_;
}

std::uint8_t SimScreen::index(int x, int y) const {
    std::lock_guard lock(mutex_);
    return indices_.at(static_cast<std::size_t>(y) * width_ + x);
}

Colour SimScreen::colour(int x, int y) const {
    std::lock_guard lock(mutex_);
    const std::size_t entry = indices_.at(static_cast<std::size_t>(y) * width_ + x) * std::size_t{3};
    return {palette_[entry], palette_[entry + 1], palette_[entry + 2]};
}

std::vector<std::uint8_t> SimScreen::indices() const {
    std::lock_guard lock(mutex_);
    return indices_;
}

std::array<std::uint8_t, 768> SimScreen::palette() const {
    std::lock_guard lock(mutex_);
    return palette_;
}

Bytes SimScreen::imageUpdateConfig() const {
    std::lock_guard lock(mutex_);
    return imageUpdateConfig_;
}

std::size_t SimScreen::updates() const {
    std::lock_guard lock(mutex_);
    return updates_;
}

bool SimScreen::waitForUpdates(std::size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return updates_ >= count; });
}

bool SimScreen::savePng(const std::string &path) const {
    std::vector<std::uint8_t> rgb;
    png_image image{};
    {
        std::lock_guard lock(mutex_);
        rgb.reserve(indices_.size() * 3);
        for (std::uint8_t index : indices_)
            rgb.insert(rgb.end(), palette_.begin() + index * 3, palette_.begin() + index * 3 + 3);
        image.width = static_cast<png_uint_32>(width_);
        image.height = static_cast<png_uint_32>(height_);
    }
    image.version = PNG_IMAGE_VERSION;
    image.format = PNG_FORMAT_RGB;
    const std::string aside = path + ".part";
    bool written = png_image_write_to_file(&image, aside.c_str(), 0, rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    if (written) written = std::rename(aside.c_str(), path.c_str()) == 0;
    if (!written) std::remove(aside.c_str());
    return written;
}

std::vector<std::uint8_t> SimScreen::png(double scale) const {
    if (!(scale > 0.0) || scale > 1.0) scale = 1.0;
    std::vector<std::uint8_t> rgb;
    png_image image{};
    {
        std::lock_guard lock(mutex_);
        const int width = std::max(1, static_cast<int>(width_ * scale));
        const int height = std::max(1, static_cast<int>(height_ * scale));
        rgb.reserve(static_cast<std::size_t>(width) * height * 3);
        for (int y = 0; y < height; ++y) {
            const int sourceY = std::min(height_ - 1, static_cast<int>(y / scale));
            for (int x = 0; x < width; ++x) {
                const int sourceX = std::min(width_ - 1, static_cast<int>(x / scale));
                const std::size_t entry = indices_[static_cast<std::size_t>(sourceY) * width_ + sourceX] * std::size_t{3};
                rgb.insert(rgb.end(), palette_.begin() + static_cast<std::ptrdiff_t>(entry),
                           palette_.begin() + static_cast<std::ptrdiff_t>(entry) + 3);
            }
        }
        image.width = static_cast<png_uint_32>(width);
        image.height = static_cast<png_uint_32>(height);
    }
    image.version = PNG_IMAGE_VERSION;
    image.format = PNG_FORMAT_RGB;
    // First the size the encoding needs, then the encoding itself.
    png_alloc_size_t size = 0;
    std::vector<std::uint8_t> encoded;
    if (png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr) && size > 0) {
        encoded.resize(size);
        if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, rgb.data(), 0, nullptr)) encoded.clear();
        else encoded.resize(size);
    }
    png_image_free(&image);
    return encoded;
}

void SimScreen::savePngAfterEachChange(std::string path) {
    {
        std::lock_guard lock(mutex_);
        pngPath_ = path;
    }
    if (!path.empty()) savePng(path);
}

void SimScreen::setFileDirectory(std::filesystem::path directory) {
    std::lock_guard lock(mutex_);
    painter_.setFontDirectory(std::move(directory));
}

}  // namespace ks318::sim
