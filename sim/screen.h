// The screen of a simulated terminal: a palette display that applies what the
// server sends (full-screen images of either size, blocks, palettes, fills),
// keeps the image-update configuration (145) and answers 147 with it (148) and
// 149 with 150. It can write what it shows as a PNG file.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_terminal.h"

namespace ks318::sim {

struct Colour {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Colour &) const = default;
};

class SimScreen {
public:
    // Starts black, at the size of the model: 320 × 240 for 318, else 480 × 272.
    explicit SimScreen(std::uint16_t model);

    // Gives the terminal a screen: registers its answers through onFrame.
    static std::shared_ptr<SimScreen> install(SimTerminal &terminal);

    // Applies a frame the terminal received; false when it changes nothing
    // (another code, or a payload that does not fit the command).
    bool apply(SimTerminal &terminal, const Frame &frame);

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
    bool savePng(const std::string &path) const;

private:
    bool showImage(const Bytes &payload);
    bool drawBlock(const Bytes &payload);
    void resize(int width, int height);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint8_t> indices_;
    std::array<std::uint8_t, 768> palette_{};
    Bytes imageUpdateConfig_ = Bytes(112, 0);
    std::size_t updates_ = 0;
};

}  // namespace ks318::sim
