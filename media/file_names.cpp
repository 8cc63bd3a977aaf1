#include "media/file_names.h"

#include <cstring>

#include "port/failure.h"

namespace ks318::media {

bool makeNameField(const char *name, NameField &field) {
    field.fill(0);
    if (name == nullptr) {
        port::noteFailure("no file name given");
        return false;
    }
    const std::size_t length = strnlen(name, kNameFieldBytes);
    if (length >= kNameFieldBytes) {
        port::noteFailureFormat("the file name is %d characters or more; at most %d fit",
                                static_cast<int>(length), kNameFieldBytes - 1);
        return false;
    }
    std::memcpy(field.data(), name, length);
    return true;
}

bool makeDestinationField(const char *name, NameField &field) {
    if (name != nullptr && name[0] == '\0') {
        field.fill(0);
        port::noteFailure("the destination file name is empty");
        return false;
    }
    return makeNameField(name, field);
}

std::string fontDestination(const std::string &localPath) {
    // Both separators count, whatever the host's own, so a path written for
    // another system still yields its file name.
    const std::size_t last = localPath.find_last_of("/\\");
    return kFontsDirectory + (last == std::string::npos ? localPath : localPath.substr(last + 1));
}

}  // namespace ks318::media
