// Names of files on the terminal: the 128-byte name field that carries them on
// the wire, and the names the library forms itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ks318::media {

inline constexpr int kNameFieldBytes = 128;
using NameField = std::array<std::uint8_t, kNameFieldBytes>;

inline constexpr char kMediaListName[] = "CONF_DIR/all_medias.conf";
inline constexpr char kMediaConfName[] = "CONF_DIR/medias.conf";
inline constexpr char kPresenceSensorConfName[] = "CONF_DIR/presence_sensor.conf";
inline constexpr char kFontsDirectory[] = "FONTS_DIR/";

// The name, zero-filled to 128 bytes. False, with the reason noted, for a null
// name or one of 128 characters or more, whose ending zero would not fit in the field.
bool makeNameField(const char *name, NameField &field);

// The same for the name a file is stored under on the terminal, which also
// must not be empty: a terminal cannot store a file without a name.
bool makeDestinationField(const char *name, NameField &field);

// "FONTS_DIR/" and the local path's base name: what follows its last "/" or "\".
std::string fontDestination(const std::string &localPath);

}  // namespace ks318::media
