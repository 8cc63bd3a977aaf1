// The simulated terminal's file storage: every file it receives (code 99) is
// kept below a directory of its own under its destination name, file requests
// (97) are answered from there (98), and the media list is made from what is stored.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/sim_terminal.h"
#include "sim/wire.h"

namespace ks318::sim {

class FileStore {
public:
    static constexpr char kMediaListName[] = "CONF_DIR/all_medias.conf";

    explicit FileStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

    const std::filesystem::path &directory() const { return directory_; }

    // False for a name that is empty, absolute or leads out of the directory.
    bool write(const std::string &name, const Bytes &contents);
    // The stored file, or nothing.
    std::optional<Bytes> read(const std::string &name) const;

    // The media list: a stored file of that name, or else one section per
    // directory of stored files (in name order) whose media1, media2 ... name its files.
    std::string mediaList() const;

    // The answer (98) to a request for `name`: the name field, found flag 1 and the
    // bytes, or found flag 0 alone when there is no such file.
    Bytes answerFor(const std::string &name) const;

private:
    std::optional<std::filesystem::path> pathOf(const std::string &name) const;

    const std::filesystem::path directory_;
    mutable std::mutex mutex_;
};

// Gives the terminal a store below `directory`: it keeps files sent with 99,
// answers 97 with 98 from the store, and answers the reload (117) with 118 and
// result 1. The store lives as long as its answers.
std::shared_ptr<FileStore> installFileStore(SimTerminal &terminal, std::filesystem::path directory);

}  // namespace ks318::sim
