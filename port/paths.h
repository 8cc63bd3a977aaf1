// Host file-system paths.
#pragma once

namespace ks318::port {

// The separator between path components on this platform.
char pathSeparator();

// Writes the process's current directory into buffer (size bytes with its NUL).
// Returns the text's length; when it does not fit, the size it needs (NUL
// included) and the buffer is left alone; 0 on failure.
int currentDirectory(char *buffer, int size);

}  // namespace ks318::port
