// Profile files: sections in brackets holding key=value lines, read the way the
// system's own profile functions read them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ks318::port {

// One profile file as it stood when opened. Sections are taken in file order;
// section names and keys are matched without regard to letter case (the first
// match wins); blanks around names, keys and values are trimmed; a value in
// matching quotes loses them. Lines may end in CR LF or LF. A missing file reads
// as one without sections.
class ProfileFile {
public:
    explicit ProfileFile(const std::string &path);
    ~ProfileFile();
    ProfileFile(const ProfileFile &) = delete;
    ProfileFile &operator=(const ProfileFile &) = delete;

    // Names of the sections, in file order.
    std::vector<std::string> sectionNames() const;

    // The value of `key` in `section`, cut to maxChars characters; empty when the
    // section or the key is absent.
    std::string value(const std::string &section, const std::string &key, std::size_t maxChars) const;

private:
    struct Contents;
    std::unique_ptr<Contents> contents_;
};

}  // namespace ks318::port
