#include "media/media_list.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "port/paths.h"
#include "port/profile_file.h"

namespace ks318::media {
namespace {

// Rewrites by connection threads and reads by host threads take turns, so a
// reader never meets a rewrite half done and two rewrites never share the aside file.
std::mutex profileMutex;

// Writes text the way a text-mode stream does on the system whose files these
// are: every LF goes out as CR LF, on every platform, so the files are the same bytes everywhere.
void writeWithCrLf(std::ostream &out, const char *text, std::size_t count) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] != '\n') continue;
        out.write(text + start, static_cast<std::streamsize>(i - start));
        out.write("\r\n", 2);
        start = i + 1;
    }
    out.write(text + start, static_cast<std::streamsize>(count - start));
}

// Copies "section\value" into a 256-byte slot, cut to 255 characters.
void writeEntry(char *slot, const std::string &section, const std::string &value) {
    const std::string entry = section + "\\" + value;
    const std::size_t length = std::min<std::size_t>(entry.size(), kMediaEntryBytes - 1);
    std::memcpy(slot, entry.data(), length);
    slot[length] = '\0';
}

}  // namespace

std::string mediaProfilePath(const std::string &baseDir) {
    const char separator = port::pathSeparator();
    return baseDir + separator + "Config_Terminal" + separator + "all_medias.ini";
}

std::int32_t saveMediaList(const void *entries, const char *path) {
    if (entries == nullptr || path == nullptr) return -1;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return -1;
    out.write("<\r\n", 3);
    for (const char *entry = static_cast<const char *>(entries); entry[0] != '\0'; entry += kMediaEntryBytes) {
        // An entry without its zero ends with its slot.
        writeWithCrLf(out, entry, strnlen(entry, kMediaEntryBytes));
        out.write("\r\n", 2);
    }
    out.write(">", 1);
    out.close();
    return out.fail() ? -1 : 1;
}

bool storeMediaList(const std::string &profilePath, const std::uint8_t *bytes, std::size_t size) {
    const auto *text = reinterpret_cast<const char *>(bytes);
    const std::size_t count = size == 0 ? 0 : strnlen(text, size);
    const std::string aside = profilePath + ".new";

    std::lock_guard lock(profileMutex);
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    writeWithCrLf(out, text, count);
    out.close();
    std::error_code error;
    if (!out.fail()) std::filesystem::rename(aside, profilePath, error);
    if (out.fail() || error) {
        std::filesystem::remove(aside, error);
        return false;
    }
    return true;
}

void readFlatMediaList(const std::string &profilePath, void *out) {
    auto *slots = static_cast<char (*)[kMediaEntryBytes]>(out);
    std::lock_guard lock(profileMutex);
    const port::ProfileFile profile(profilePath);
    int count = 0;
    for (const std::string &section : profile.sectionNames()) {
        // Each pass writes its entry before looking at it: an empty value, or the
        // entry that reaches the list's limit, is written and then given back.
        for (int n = 1;; ++n) {
            const std::string value = profile.value(section, "media" + std::to_string(n), kMediaValueChars);
            writeEntry(slots[count], section, value);
            ++count;
            if (value.empty() || count >= kFlatListSlots) break;
        }
        --count;
    }
    slots[count][0] = '\0';
}

}  // namespace ks318::media
