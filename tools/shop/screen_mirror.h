// What this program believes a terminal shows: every screen frame it sends to
// the terminal (images, blocks, palettes, fills, texts) applied to a simulated
// screen, the same one ks318-term draws with. Each change raises the revision.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/screen.h"

namespace ks318::web {

class ScreenMirror {
public:
    explicit ScreenMirror(std::uint16_t model) : screen_(model) {}

    // Applies a frame sent to the terminal; the new revision when it changed the screen, else 0.
    std::uint64_t apply(const sim::Frame &frame);
    // Shows a whole-screen image (37) shared with other mirrors: kept as it is
    // until something is drawn over it or the screen's picture is asked for, so
    // that one picture sent to 1,024 terminals is held once, not copied 1,024
    // times. Nothing changes (0) for a frame that is not such an image.
    std::uint64_t showImage(std::shared_ptr<const sim::Frame> image);
    std::uint64_t revision() const { return revision_.load(); }
    void setFontDirectory(const std::filesystem::path &directory) { screen_.setFileDirectory(directory); }
    int width() const;
    int height() const;
    // PNG bytes and the revision they show.
    std::vector<std::uint8_t> png(double scale, std::uint64_t &revision) const;
    // Held across a send and its apply, so that the mirror takes the frames in
    // the order they were handed to the library.
    std::mutex &sendOrder() { return sendOrder_; }

private:
    // Copies a shared image still waiting into the screen (under applyMutex_).
    void settle() const;

    mutable std::mutex applyMutex_;  // a revision belongs to one picture
    mutable sim::SimScreen screen_;
    mutable std::shared_ptr<const sim::Frame> sharedImage_;
    std::atomic<std::uint64_t> revision_{0};
    std::mutex sendOrder_;
};

}  // namespace ks318::web
