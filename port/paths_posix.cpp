#include "port/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace ks318::port {

char pathSeparator() { return '/'; }

int currentDirectory(char *buffer, int size) {
    char *whole = ::getcwd(nullptr, 0);
    if (whole == nullptr) return 0;
    int length = static_cast<int>(std::strlen(whole));
    int result = length;
    if (buffer != nullptr && length < size) {
        std::memcpy(buffer, whole, static_cast<size_t>(length) + 1);
    } else {
        result = length + 1;
    }
    std::free(whole);
    return result;
}

}  // namespace ks318::port
