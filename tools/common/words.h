// Command lines as people type them, for the console and the simulated
// terminal: words, quotes, escapes and numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ks318::tools {

// How long both programs wait for an event or an answer unless told otherwise.
inline constexpr int kDefaultWaitMs = 10000;

// Splits a line into words. Blanks separate words; 'single quotes' keep their
// text as it is; "double quotes" and bare words take the escapes \n \r \t \0
// \\ \" \' \xHH; a # that begins a word starts a comment to the end of the line.
// Nothing, with `error` set, for an unclosed quote or a bad escape.
std::optional<std::vector<std::string>> splitWords(const std::string &line, std::string &error);

// A whole number in decimal or 0x hexadecimal, with an optional sign, that fits
// between `lowest` and `highest`; nothing otherwise.
std::optional<std::int64_t> parseNumber(const std::string &word, std::int64_t lowest = INT32_MIN,
                                        std::int64_t highest = INT32_MAX);

// Bytes as a readable quoted text: printable ASCII as it is, the rest escaped
// (\n, \r, \t, \xHH), cut after `limit` bytes with "...".
std::string quoteBytes(const void *data, std::size_t size, std::size_t limit = 64);
std::string quoteText(const std::string &text, std::size_t limit = 64);

}  // namespace ks318::tools
