#include "tools/common/words.h"

#include <cctype>
#include <charconv>

namespace ks318::tools {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the escape after a backslash at line[i]; advances i past it.
bool readEscape(const std::string &line, std::size_t &i, std::string &word, std::string &error) {
    if (i + 1 >= line.size()) {
        error = "a backslash ends the line";
        return false;
    }
    const char c = line[++i];
    switch (c) {
    case 'n': word += '\n'; break;
    case 'r': word += '\r'; break;
    case 't': word += '\t'; break;
    case '0': word += '\0'; break;
    case '\\': case '"': case '\'': case ' ': case '#': word += c; break;
    case 'x': {
        const int high = i + 1 < line.size() ? hexDigit(line[i + 1]) : -1;
        const int low = i + 2 < line.size() ? hexDigit(line[i + 2]) : -1;
        if (high < 0 || low < 0) {
            error = "\\x wants two hexadecimal digits";
            return false;
        }
        word += static_cast<char>(high * 16 + low);
        i += 2;
        break;
    }
    default:
        error = std::string("unknown escape \\") + c;
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::string>> splitWords(const std::string &line, std::string &error) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i >= line.size() || line[i] == '#') return words;
        std::string word;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            const char c = line[i];
            if (c == '\'') {
                const std::size_t close = line.find('\'', i + 1);
                if (close == std::string::npos) {
                    error = "a ' quote is not closed";
                    return std::nullopt;
                }
                word.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else if (c == '"') {
                ++i;
                while (i < line.size() && line[i] != '"') {
                    if (line[i] == '\\') {
                        if (!readEscape(line, i, word, error)) return std::nullopt;
                    } else {
                        word += line[i];
                    }
                    ++i;
                }
                if (i >= line.size()) {
                    error = "a \" quote is not closed";
                    return std::nullopt;
                }
                ++i;
            } else if (c == '\\') {
                if (!readEscape(line, i, word, error)) return std::nullopt;
                ++i;
            } else {
                word += c;
                ++i;
            }
        }
        words.push_back(std::move(word));
    }
}

std::optional<std::int64_t> parseNumber(const std::string &word, std::int64_t lowest, std::int64_t highest) {
    std::string_view text(word);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (fault != std::errc() || end != text.data() + text.size() || magnitude > (1ull << 62)) return std::nullopt;
    const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (value < lowest || value > highest) return std::nullopt;
    return value;
}

std::string quoteBytes(const void *data, std::size_t size, std::size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::string out = "\"";
    for (std::size_t i = 0; i < size && i < limit; ++i) {
        const unsigned char c = bytes[i];
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        }
    }
    out += '"';
    if (size > limit) out += "...";
    return out;
}

std::string quoteText(const std::string &text, std::size_t limit) { return quoteBytes(text.data(), text.size(), limit); }

}  // namespace ks318::tools
