#include "tools/shop/uploads.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <random>

namespace ks318::web {

Upload::~Upload() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

std::string storedExtension(const std::string &name) {
    static constexpr std::array<const char *, 10> kKnown = {"bmp", "jpg", "jpeg", "ico", "wmf",
                                                           "emf", "ttf", "otf", "conf", "bin"};
    const auto dot = name.find_last_of('.');
    if (dot == std::string::npos) return "";
    std::string extension = name.substr(dot + 1);
    if (extension.size() > 4) return "";
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    for (const char *known : kKnown)
        if (extension == known) return extension;
    return "";
}

UploadStore::UploadStore(std::filesystem::path directory, std::uint64_t maxUpload)
    : directory_(std::move(directory)),
      maxUpload_(maxUpload),
      maxKeptBytes_(std::max<std::uint64_t>(std::uint64_t{256} << 20, 4 * maxUpload)) {}

std::string UploadStore::newId() const {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

std::shared_ptr<const Upload> UploadStore::add(const std::string &name, const std::function<bool(const Sink &)> &read,
                                               std::string &error, bool &tooLarge) {
    tooLarge = false;
    auto upload = std::make_shared<Upload>();
    upload->id = newId();
    upload->name = name.substr(0, kMaxNameBytes);
    const std::string extension = storedExtension(name);
    upload->path = directory_ / (extension.empty() ? upload->id : upload->id + "." + extension);
    {
        std::ofstream out(upload->path, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "the upload could not be stored";
            return nullptr;
        }
        const bool whole = read([&](const char *data, std::size_t length) {
            upload->size += length;
            if (upload->size > maxUpload_) {
                tooLarge = true;
                return false;
            }
            out.write(data, static_cast<std::streamsize>(length));
            return static_cast<bool>(out);
        });
        out.close();
        if (tooLarge) {
            error = "the upload is larger than " + std::to_string(maxUpload_) + " bytes";
            return nullptr;  // the file goes with the upload
        }
        if (!whole || !out) {
            error = "the upload could not be stored";
            return nullptr;
        }
    }
    std::lock_guard lock(mutex_);
    uploads_.push_back(upload);
    keptBytes_ += upload->size;
    forgetOldest();
    return upload;
}

void UploadStore::forgetOldest() {
    while (uploads_.size() > 1 && (uploads_.size() > kMaxUploads || keptBytes_ > maxKeptBytes_)) {
        keptBytes_ -= uploads_.front()->size;
        uploads_.pop_front();
    }
}

std::shared_ptr<const Upload> UploadStore::find(const std::string &id) const {
    std::lock_guard lock(mutex_);
    for (const auto &upload : uploads_)
        if (upload->id == id) return upload;
    return nullptr;
}

}  // namespace ks318::web
