// Threads the library starts and does not wait for (connection threads, transfer
// workers). A host may unload the library as soon as a stop has returned, while
// such a thread is still on its way out: each keeps the library loaded until it
// has left library code, where the system would otherwise pull the code from
// under it.
#pragma once

#include <functional>

namespace ks318::port {

// Starts `body` on a detached thread. False when no thread could be had (then
// `body` is not run).
bool startLibraryThread(std::function<void()> body);

}  // namespace ks318::port
