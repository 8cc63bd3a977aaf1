#include "media/file_names.h"

#include <cstring>

namespace ks318::media {

bool makeNameField(const char *name, NameField &field) {
    field.fill(0);
    if (name == nullptr) return false;
    const std::size_t length = strnlen(name, kNameFieldBytes);
    if (length >= kNameFieldBytes) return false;
    std::memcpy(field.data(), name, length);
    return true;
}

std::string fontDestination(const std::string &localPath) {
    // Both separators count, whatever the host's own, so a path written for
    // another system still yields its file name.
    const std::size_t last = localPath.find_last_of("/\\");
    return kFontsDirectory + (last == std::string::npos ? localPath : localPath.substr(last + 1));
}

}  // namespace ks318::media
