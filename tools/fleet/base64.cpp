#include "tools/fleet/base64.h"

#include <algorithm>
#include <climits>

#include <openssl/evp.h>

namespace ks318::fleet {
namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// EVP_EncodeBlock takes an int; pieces of this size (a multiple of 3) keep the
// text the same as one call would make.
constexpr std::size_t kEncodePiece = std::size_t{3} << 20;

}  // namespace

std::string encodeBase64(const void *bytes, std::size_t size) {
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    const auto *from = static_cast<const unsigned char *>(bytes);
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(kEncodePiece, size - done);
        std::string encoded((piece + 2) / 3 * 4 + 1, '\0');
        const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded.data()), from + done,
                                           static_cast<int>(piece));
        text.append(encoded.data(), static_cast<std::size_t>(std::max(length, 0)));
        done += piece;
    }
    return text;
}

std::optional<std::string> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
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

}  // namespace ks318::fleet
