// A temporary directory of the test's own, removed with everything in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "sim/wire.h"

namespace ks318::test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ks318-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &relative) const { return path_ / relative; }

    // Writes a file below the directory (creating its folders); returns its path.
    std::filesystem::path write(const std::string &relative, const sim::Bytes &contents) const {
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
