// The port files of the programs (--port-file, --http-file): a script or a test
// that started a program on port 0 reads the port it took from them.
#pragma once

#include <string>

namespace ks318::tools {

// Writes the number and a line end to a file beside `path`, then renames it into
// place, so that a reader never sees half a number. False when either step fails.
bool writeNumberFile(const std::string &path, int number);

}  // namespace ks318::tools
