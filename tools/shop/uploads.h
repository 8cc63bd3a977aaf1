// Files sent to this program for pictures, files and fonts. Each is kept in the
// program's private directory under a name the program chooses (its id and,
// for a known kind, its extension); the name it came with is metadata only and
// never reaches a path. The store is bounded: past its limits the oldest
// uploads are forgotten (a transfer still reading one keeps it until it ends).
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ks318::web {

struct Upload {
    std::string id;
    std::string name;            // as sent, for people only
    std::filesystem::path path;  // where the bytes are
    std::uint64_t size = 0;
    ~Upload();  // removes the file
};

class UploadStore {
public:
    static constexpr std::size_t kMaxUploads = 64;
    static constexpr std::size_t kMaxNameBytes = 255;

    UploadStore(std::filesystem::path directory, std::uint64_t maxUpload);

    std::uint64_t maxUpload() const { return maxUpload_; }

    // Reads the bytes from `read` (called with a sink until it returns false or
    // the body ends) into a new upload. Nothing, with `error` set, when the body
    // was larger than maxUpload (`tooLarge` true) or could not be written.
    using Sink = std::function<bool(const char *data, std::size_t length)>;
    std::shared_ptr<const Upload> add(const std::string &name, const std::function<bool(const Sink &)> &read,
                                      std::string &error, bool &tooLarge);
    std::shared_ptr<const Upload> find(const std::string &id) const;

private:
    std::string newId() const;
    void forgetOldest();  // under mutex_

    const std::filesystem::path directory_;
    const std::uint64_t maxUpload_;
    const std::uint64_t maxKeptBytes_;
    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<const Upload>> uploads_;  // oldest first
    std::uint64_t keptBytes_ = 0;
};

// The lower-case extension the stored file gets, "" when the name has none the
// library or terminals use (bmp jpg jpeg ico wmf emf ttf otf conf bin).
std::string storedExtension(const std::string &name);

}  // namespace ks318::web
