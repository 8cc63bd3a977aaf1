// Profile files through the system's own profile functions, which read the file
// on every call.
#include "port/profile_file.h"

#include <windows.h>

namespace ks318::port {

struct ProfileFile::Contents {
    std::string path;  // full path: a bare name would be looked for in the Windows folder
};

ProfileFile::ProfileFile(const std::string &path) : contents_(std::make_unique<Contents>()) {
    char full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    contents_->path = length > 0 && length < sizeof full ? std::string(full, length) : path;
}

ProfileFile::~ProfileFile() = default;

std::vector<std::string> ProfileFile::sectionNames() const {
    // The names come as NUL-ended texts followed by one more NUL; a buffer that
    // was too small comes back filled to its size less 2.
    std::vector<char> buffer(1024);
    DWORD length = 0;
    for (;;) {
        length = GetPrivateProfileSectionNamesA(buffer.data(), static_cast<DWORD>(buffer.size()),
                                                contents_->path.c_str());
        if (length + 2 < buffer.size() || buffer.size() >= (1u << 24)) break;
        buffer.resize(buffer.size() * 4);
    }
    std::vector<std::string> names;
    for (DWORD at = 0; at < length && buffer[at] != '\0';) {
        std::string name(buffer.data() + at);
        at += static_cast<DWORD>(name.size()) + 1;
        names.push_back(std::move(name));
    }
    return names;
}

std::string ProfileFile::value(const std::string &section, const std::string &key, std::size_t maxChars) const {
    std::vector<char> buffer(maxChars + 1);
    const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), contents_->path.c_str());
    return std::string(buffer.data(), length);
}

}  // namespace ks318::port
