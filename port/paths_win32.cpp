#include "port/paths.h"

#include <windows.h>

namespace ks318::port {

char pathSeparator() { return '\\'; }

// GetCurrentDirectoryA already answers as this function promises: the length, or
// the size needed (NUL included) when the buffer is too small, 0 on failure.
int currentDirectory(char *buffer, int size) {
    return static_cast<int>(GetCurrentDirectoryA(buffer != nullptr && size > 0 ? static_cast<DWORD>(size) : 0,
                                                 buffer != nullptr && size > 0 ? buffer : nullptr));
}

}  // namespace ks318::port
