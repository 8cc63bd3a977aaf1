// The library is linked with -z nodelete: unloading it never removes its code,
// so a plain detached thread is enough.
#include "port/library_thread.h"

#include <thread>

namespace ks318::port {

bool startLibraryThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace ks318::port
