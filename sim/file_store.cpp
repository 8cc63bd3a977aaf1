#include "sim/file_store.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace ks318::sim {
namespace {

constexpr std::size_t kNameFieldBytes = 128;

std::string nameIn(const Bytes &payload) {
    const std::size_t width = std::min(payload.size(), kNameFieldBytes);
    const auto end = std::find(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(width), 0);
    return std::string(payload.begin(), end);
}

}  // namespace

std::optional<std::filesystem::path> FileStore::pathOf(const std::string &name) const {
    const std::filesystem::path relative(name);
    if (name.empty() || relative.is_absolute() || relative.has_root_name()) return std::nullopt;
    for (const auto &part : relative)
        if (part == ".." || part == ".") return std::nullopt;
    return directory_ / relative;
}

bool FileStore::write(const std::string &name, const Bytes &contents) {
    const auto path = pathOf(name);
    if (!path) return false;
    std::lock_guard lock(mutex_);
    std::error_code error;
    std::filesystem::create_directories(path->parent_path(), error);
    std::ofstream out(*path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(contents.data()), static_cast<std::streamsize>(contents.size()));
    out.close();
    return !out.fail();
}

std::optional<Bytes> FileStore::read(const std::string &name) const {
    const auto path = pathOf(name);
    if (!path) return std::nullopt;
    std::lock_guard lock(mutex_);
    std::ifstream in(*path, std::ios::binary);
    if (!in || !std::filesystem::is_regular_file(*path)) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string FileStore::mediaList() const {
    if (auto stored = read(kMediaListName)) return std::string(stored->begin(), stored->end());
    std::map<std::string, std::vector<std::string>> sections;
    {
        std::lock_guard lock(mutex_);
        std::error_code error;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(directory_, error)) {
            if (!entry.is_regular_file()) continue;
            const std::filesystem::path relative = entry.path().lexically_relative(directory_);
            if (!relative.has_parent_path()) continue;  // files outside any directory are not media
            sections[relative.parent_path().generic_string()].push_back(relative.filename().string());
        }
    }
    std::string list;
    for (auto &[section, files] : sections) {
        std::sort(files.begin(), files.end());
        list += "[" + section + "]\n";
        for (std::size_t i = 0; i < files.size(); ++i) list += "media" + std::to_string(i + 1) + "=" + files[i] + "\n";
    }
    return list;
}

Bytes FileStore::answerFor(const std::string &name) const {
    std::optional<Bytes> contents;
    if (name == kMediaListName) {
        const std::string list = mediaList();
        contents = Bytes(list.begin(), list.end());
    } else {
        contents = read(name);
    }
    if (!contents) return concat({field(name, kNameFieldBytes), le32(0)});
    return concat({field(name, kNameFieldBytes), le32(1), *contents});
}

std::shared_ptr<FileStore> installFileStore(SimTerminal &terminal, std::filesystem::path directory) {
    auto store = std::make_shared<FileStore>(std::move(directory));
    terminal.onFrame(99, [store](SimTerminal &, const Frame &frame) {
        if (frame.payload.size() < kNameFieldBytes) return;
        store->write(nameIn(frame.payload), Bytes(frame.payload.begin() + kNameFieldBytes, frame.payload.end()));
    });
    terminal.onFrame(97, [store](SimTerminal &self, const Frame &frame) {
        self.send(98, store->answerFor(nameIn(frame.payload)));
    });
    terminal.onFrame(117, [](SimTerminal &self, const Frame &) { self.send(118, le32(1)); });
    return store;
}

}  // namespace ks318::sim
