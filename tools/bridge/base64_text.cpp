#include "tools/bridge/base64_text.h"

#include <algorithm>

#include <openssl/evp.h>

namespace ks318::bridge {
namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return std::string();
    // OpenSSL decodes; what it would let pass (blanks, '=' inside) is refused first.
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), inAlphabet)) return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(bytes.data()),
                                        reinterpret_cast<const unsigned char *>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded < 0 || static_cast<std::size_t>(decoded) != bytes.size()) return std::nullopt;
    // EVP_DecodeBlock counts the padding's places as bytes.
    bytes.resize(bytes.size() - padding);
    return bytes;
}

}  // namespace ks318::bridge
