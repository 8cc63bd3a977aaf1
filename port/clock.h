// Millisecond ticks and sleeps, the time base of every limit in the server.
#pragma once

#include <cstdint>

namespace ks318::port {

// A monotonic millisecond counter; only differences between two readings mean anything.
std::uint64_t tickMs();

void sleepMs(int milliseconds);

}  // namespace ks318::port
