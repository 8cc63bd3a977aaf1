#include "tools/console/progress_bar.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "tools/console/console.h"

namespace ks318::tools {

std::string progressBar(int percent, int width) {
    percent = std::clamp(percent, 0, 100);
    const int filled = percent * width / 100;
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
    const std::string number = std::to_string(percent);
    return bar + std::string(3 - std::min<std::size_t>(3, number.size()), ' ') + number + "%";
}

int followProgress(Console &console, std::int32_t *word) {
    // The worker stores the word atomically; read it the same way.
    std::atomic_ref<std::int32_t> progress(*word);
    int highest = 0, shown = -1;
    for (;;) {
        const std::int32_t value = progress.load(std::memory_order_acquire);
        if (value < 0) break;
        highest = std::max(highest, static_cast<int>(value));
        if (console.interactive() && highest != shown) {
            std::lock_guard lock(console.outputLock());
            console.stream() << "\r  " << progressBar(highest) << std::flush;
            shown = highest;
        } else if (!console.interactive() && (shown < 0 || highest >= shown + 20)) {
            console.print("  " + progressBar(highest));
            shown = highest - highest % 20;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (console.interactive() && shown >= 0) {
        // Clear the bar's line: the caller's closing line takes its place.
        std::lock_guard lock(console.outputLock());
        console.stream() << '\r' << std::string(progressBar(100).size() + 2, ' ') << '\r' << std::flush;
    }
    return highest;
}

}  // namespace ks318::tools
