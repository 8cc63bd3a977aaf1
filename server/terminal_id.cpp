#include "server/terminal_id.h"

#include <atomic>
#include <limits>

namespace ks318 {

TerminalId nextTerminalId() {
    // Process-wide, never reset: ids stay unique across stops and starts.
    static std::atomic<std::uint32_t> next{static_cast<std::uint32_t>(kFirstTerminalId)};
    const std::uint32_t id = next.fetch_add(1, std::memory_order_relaxed);
    if (id > static_cast<std::uint32_t>(std::numeric_limits<TerminalId>::max())) {
        next.store(static_cast<std::uint32_t>(std::numeric_limits<TerminalId>::max()) + 1u);  // stays exhausted
        return 0;
    }
    return static_cast<TerminalId>(id);
}

}  // namespace ks318
