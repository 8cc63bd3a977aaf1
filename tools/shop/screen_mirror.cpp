#include "tools/shop/screen_mirror.h"

namespace ks318::web {

void ScreenMirror::settle() const {
    if (!sharedImage_) return;
    screen_.apply(*sharedImage_);
    sharedImage_.reset();
}

std::uint64_t ScreenMirror::apply(const sim::Frame &frame) {
    std::lock_guard lock(applyMutex_);
    settle();
    if (!screen_.apply(frame)) return 0;
    return ++revision_;
}

std::uint64_t ScreenMirror::showImage(std::shared_ptr<const sim::Frame> image) {
    int width = 0, height = 0;
    if (!image || !sim::SimScreen::isWholeScreenImage(*image, width, height)) return 0;
    std::lock_guard lock(applyMutex_);
    // Whatever waited is covered whole by this one.
    sharedImage_ = std::move(image);
    return ++revision_;
}

// The size is read off a shared image still waiting, without copying it.
int ScreenMirror::width() const {
    std::lock_guard lock(applyMutex_);
    int width = 0, height = 0;
    if (sharedImage_ && sim::SimScreen::isWholeScreenImage(*sharedImage_, width, height)) return width;
    return screen_.width();
}

int ScreenMirror::height() const {
    std::lock_guard lock(applyMutex_);
    int width = 0, height = 0;
    if (sharedImage_ && sim::SimScreen::isWholeScreenImage(*sharedImage_, width, height)) return height;
    return screen_.height();
}

std::vector<std::uint8_t> ScreenMirror::png(double scale, std::uint64_t &revision) const {
    std::lock_guard lock(applyMutex_);
    settle();
    revision = revision_.load();
    return screen_.png(scale);
}

}  // namespace ks318::web
