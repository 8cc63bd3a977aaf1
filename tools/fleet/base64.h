// Base64 (RFC 4648, the standard alphabet, padded), as commands carry files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ks318::fleet {

std::string encodeBase64(const void *bytes, std::size_t size);

// The bytes; nothing for text that is not strict base64 (a length that is not a
// multiple of 4, a character outside the alphabet, '=' other than at the end).
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace ks318::fleet
