#include "port/clock.h"

#include <windows.h>

namespace ks318::port {

// GetTickCount64 does not wrap after 49 days as GetTickCount does.
std::uint64_t tickMs() { return GetTickCount64(); }

void sleepMs(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds)); }

}  // namespace ks318::port
