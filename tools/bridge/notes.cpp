#include "tools/bridge/notes.h"

#include <cstdio>
#include <mutex>

namespace ks318::bridge {

void printNote(const std::string &text) {
    static std::mutex order;
    std::lock_guard lock(order);
    std::fprintf(stderr, "ks318-bridge: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace ks318::bridge
