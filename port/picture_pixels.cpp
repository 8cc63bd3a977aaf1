#include "port/picture_pixels.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

namespace ks318::port {

std::string lowerExtension(const char *path) {
    const char *name = path;
    for (const char *p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\' || *p == ':') name = p + 1;
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr) return {};
    std::string extension(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

bool readWholeFile(const char *path, std::vector<std::uint8_t> &bytes) {
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    if (!stream) return false;
    // One read of the size the file has; a file that changes meanwhile reads short and fails.
    const std::streamoff size = stream.tellg();
    if (size < 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    stream.seekg(0);
    return size == 0 || stream.read(reinterpret_cast<char *>(bytes.data()), size).good();
}

}  // namespace ks318::port
