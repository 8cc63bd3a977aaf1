#include "tools/web/screen_mirror.h"

namespace ks318::web {

std::uint64_t ScreenMirror::apply(const sim::Frame &frame) {
    std::lock_guard lock(applyMutex_);
    if (!screen_.apply(frame)) return 0;
    return ++revision_;
}

std::vector<std::uint8_t> ScreenMirror::png(double scale, std::uint64_t &revision) const {
    std::lock_guard lock(applyMutex_);
    revision = revision_.load();
    return screen_.png(scale);
}

}  // namespace ks318::web
