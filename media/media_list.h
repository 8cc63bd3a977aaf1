// Media lists on the host: the list file the host has written from its own
// entries, and the profile file that holds the media list a terminal sent last
// ("CONF_DIR/all_medias.conf"), read back as a flat list of "section\value" entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ks318::media {

// A media entry: zero-ended text in a slot of 256 bytes.
inline constexpr int kMediaEntryBytes = 256;
// The host's flat list has room for 255 entries: at most 254 and the empty one ending them.
inline constexpr int kFlatListSlots = 255;
// Only this many characters of a profile value are read.
inline constexpr int kMediaValueChars = 99;

// Where the profile file lives: baseDir, then "Config_Terminal", then
// "all_medias.ini", joined by the system's separator (an empty baseDir gives a
// path that starts at the separator).
std::string mediaProfilePath(const std::string &baseDir);

// Writes "<", each entry up to its zero (a list ends at an entry whose first byte
// is 0), and ">" without a line end; every line end is CR LF, as are line feeds
// inside an entry. 1 when the file was written whole, -1 when it could not be
// opened or a write failed.
std::int32_t saveMediaList(const void *entries, const char *path);

// Replaces the profile file with a received media list: its bytes up to the
// first zero byte, each LF written as CR LF. The file is written aside and then
// renamed over the old one, so a reader sees the old list or the new one. False
// when it could not be written; the old file then stays.
bool storeMediaList(const std::string &profilePath, const std::uint8_t *bytes, std::size_t size);

// Fills `out` (255 slots of 256 bytes) with the entries of the profile file: for
// each section in file order, "section\value" for media1, media2 ... up to the
// first key that is absent or empty; at most 254 entries; an entry whose first
// byte is 0 ends the list. A missing file gives an empty list.
void readFlatMediaList(const std::string &profilePath, void *out);

}  // namespace ks318::media
