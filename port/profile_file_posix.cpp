// Profile files on systems without a profile facility of their own: the file is
// read once and answered from memory.
#include "port/profile_file.h"

#include <fstream>
#include <iterator>
#include <string_view>
#include <utility>

namespace ks318::port {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == '\x1a';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A value in matching single or double quotes is given without them.
std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

struct ProfileFile::Contents {
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };
    std::vector<Section> sections;

    const Section *find(std::string_view name) const {
        for (const Section &section : sections)
            if (sameIgnoringCase(section.name, name)) return &section;
        return nullptr;
    }
};

ProfileFile::ProfileFile(const std::string &path) : contents_(std::make_unique<Contents>()) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

    Contents::Section *current = nullptr;  // lines before the first section belong to none
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string_view line = trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty()) continue;
        if (line.front() == '[') {
            std::size_t close = line.rfind(']');
            if (close == std::string_view::npos) continue;  // not a section header
            contents_->sections.push_back({std::string(trimmed(line.substr(1, close - 1))), {}});
            current = &contents_->sections.back();
            continue;
        }
        std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string_view::npos) continue;
        current->entries.emplace_back(std::string(trimmed(line.substr(0, equals))),
                                      std::string(trimmed(line.substr(equals + 1))));
    }
}

ProfileFile::~ProfileFile() = default;

std::vector<std::string> ProfileFile::sectionNames() const {
    std::vector<std::string> names;
    for (const Contents::Section &section : contents_->sections)
        if (!section.name.empty()) names.push_back(section.name);
    return names;
}

std::string ProfileFile::value(const std::string &section, const std::string &key, std::size_t maxChars) const {
    const Contents::Section *found = contents_->find(section);
    if (found == nullptr) return {};
    for (const auto &[name, value] : found->entries)
        if (sameIgnoringCase(name, key)) return std::string(unquoted(value).substr(0, maxChars));
    return {};
}

}  // namespace ks318::port
