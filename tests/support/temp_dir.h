// A temporary directory of the test's own, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "sim/wire.h"

namespace ks318::test {

// A path that also reads as narrow text, the way the exports take paths (on
// Windows a filesystem path's own text is wide). Read-only once made.
class HostPath : public std::filesystem::path {
public:
    HostPath(std::filesystem::path path) : std::filesystem::path(std::move(path)), text_(string()) {}
    operator std::string() const { return text_; }
    const char *c_str() const { return text_.c_str(); }

private:
    std::string text_;
};

class TempDir {
public:
    // A fresh name that no other test, process or run has: created, not found.
    TempDir() {
        static thread_local std::mt19937_64 random{std::random_device{}()};
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::filesystem::path candidate = base / ("ks318-test-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
        }
    }
    ~TempDir() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    HostPath operator/(const std::string &relative) const { return path_ / relative; }

    // Writes a file below the directory (creating its folders); returns its path.
    HostPath write(const std::string &relative, const sim::Bytes &contents) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(contents.data()),
                                                    static_cast<std::streamsize>(contents.size()));
        return file;
    }

    static sim::Bytes read(const std::filesystem::path &file) {
        std::ifstream in(file, std::ios::binary);
        return sim::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

// Makes `directory` the working directory until the end of the scope.
struct WorkingDirectory {
    explicit WorkingDirectory(const std::filesystem::path &directory) { std::filesystem::current_path(directory); }
    ~WorkingDirectory() {
        std::error_code error;
        std::filesystem::current_path(previous, error);
    }
    const std::filesystem::path previous = std::filesystem::current_path();
};

// Bytes 0, 1 ... 250, 0, 1 ...: a pattern whose shifts and cuts show, and that never holds 0xFF.
inline sim::Bytes patternBytes(std::size_t size) {
    sim::Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
    return bytes;
}

}  // namespace ks318::test
