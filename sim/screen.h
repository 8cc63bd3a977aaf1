// The screen of a simulated terminal: a palette display that applies what the
// server sends (full-screen images of either size, blocks, palettes, fills,
// texts), keeps the image-update configuration (145) and answers 147 with it
// (148), 149 with 150 and 35 with 36. It can write what it shows as a PNG file,
// once or after every change.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/screen_text.h"
#include "sim/sim_terminal.h"

namespace ks318::sim {

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Colour &) const = default;
};

// The palette a screen starts with, until the host sends one: the common
// 256-colour terminal palette (16 basic colours, a 6 × 6 × 6 colour cube, 24
// greys), so that fills and texts show before any image. Entry 0 is black, 15 white.
std::array<std::uint8_t, 768> startPalette();

class SimScreen {
public:
    // Starts black (entry 0), at the size of the model: 320 × 240 for 318, else 480 × 272.
    explicit SimScreen(std::uint16_t model);

    // Gives the terminal a screen: registers its answers through onFrame.
    static std::shared_ptr<SimScreen> install(SimTerminal &terminal);

    // Applies a frame the terminal received; false when it changes nothing
    // (another code, or a payload that does not fit the command).
    bool apply(SimTerminal &terminal, const Frame &frame);
    // Applies a frame as the terminal would, without a terminal to answer with:
    // for a host that mirrors what it sends. The answers (36, 148, 150) are dropped.
    bool apply(const Frame &frame);
    // Whether `frame` is a whole-screen image (37) of one of the two screen
    // sizes; its size in `width` and `height` when it is.
    static bool isWholeScreenImage(const Frame &frame, int &width, int &height);

    int width() const;
    int height() const;
    std::uint8_t index(int x, int y) const;
    Colour colour(int x, int y) const;
    std::vector<std::uint8_t> indices() const;
    std::array<std::uint8_t, 768> palette() const;
    // The last image-update configuration the server sent (112 bytes, zeros at first).
    Bytes imageUpdateConfig() const;

    // Frames applied so far; waits until `count` have been.
    std::size_t updates() const;
    bool waitForUpdates(std::size_t count, int timeoutMs) const;

    // Writes the screen as an 8-bit RGB PNG; false when the file could not be written.
    // The file is written aside and renamed, so a reader never sees half a picture.
    bool savePng(const std::string &path) const;
    // The screen as an 8-bit RGB PNG in memory; scaled by `scale` (0 < scale <= 1,
    // nearest pixel, at least 1 x 1) when below 1. Empty when encoding failed.
    std::vector<std::uint8_t> png(double scale = 1.0) const;
    // From now on writes the PNG after every frame that changed the screen.
    void savePngAfterEachChange(std::string path);
    // Where the terminal keeps the files sent to it: texts may name a font in its FONTS_DIR.
    void setFileDirectory(std::filesystem::path directory);

private:
    struct Reply {
        bool due = false;
        std::uint16_t code = 0;
        Bytes payload;
    };
    // Changes the screen for a frame, and says what the terminal answers.
    bool change(const Frame &frame, Reply &reply);
    bool showImage(const Bytes &payload);
    bool drawText(const Bytes &payload);
    bool drawBlock(const Bytes &payload);
    void resize(int width, int height);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> indices_;
    std::array<std::uint8_t, 768> palette_ = startPalette();
    Bytes imageUpdateConfig_ = Bytes(112, 0);
    std::size_t updates_ = 0;
    TextPainter painter_;
    std::string pngPath_;
};

}  // namespace ks318::sim
