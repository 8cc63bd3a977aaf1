// Profile files on systems without a profile facility of their own: the file is
// read once and answered from memory.
#include "port/profile_file.h"

#include <fstream>
#include <sstream>
#include <string_view>
#include <unordered_map>
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

// Names and keys match without regard to letter case: both sides are looked up
// with their ASCII letters in lower case.
std::string folded(std::string_view text) {
    std::string result(text);
    for (char &c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

// A value in matching single or double quotes is given without them.
std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

// Sections and keys are found through hash maps on their folded names, so a
// lookup costs the same however many sections the file holds.
struct ProfileFile::Contents {
    struct Section {
        std::string name;
        std::unordered_map<std::string, std::string> values;  // by folded key; the first line of a key is kept
    };
    std::vector<Section> sections;                               // file order
    std::unordered_map<std::string, std::size_t> sectionByName;  // by folded name; the first section of a name

    const Section *find(std::string_view name) const {
        const auto found = sectionByName.find(folded(name));
        return found == sectionByName.end() ? nullptr : &sections[found->second];
    }
};

ProfileFile::ProfileFile(const std::string &path) : contents_(std::make_unique<Contents>()) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return;
    std::ostringstream whole;  // the file in one piece, not a character at a time
    whole << file.rdbuf();
    const std::string text = std::move(whole).str();

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
            const std::string_view name = trimmed(line.substr(1, close - 1));
            contents_->sectionByName.try_emplace(folded(name), contents_->sections.size());
            contents_->sections.push_back({std::string(name), {}});
            current = &contents_->sections.back();
            continue;
        }
        std::size_t equals = line.find('=');
        if (current == nullptr || equals == std::string_view::npos) continue;
        current->values.try_emplace(folded(trimmed(line.substr(0, equals))),
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
    const auto entry = found->values.find(folded(key));
    if (entry == found->values.end()) return {};
    return std::string(unquoted(entry->second).substr(0, maxChars));
}

}  // namespace ks318::port
