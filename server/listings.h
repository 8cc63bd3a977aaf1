// The host's listings of connected terminals, in the byte layouts hosts read.
#pragma once

#include <cstdint>

namespace ks318 {

class TerminalTable;

inline constexpr int kConnectedTableBytes = 8196;
inline constexpr int kTerminalListBytes = 47108;

// How a listing names each terminal: its number, or its id.
enum class ListedName { Number, Id };

// 1024 terminal numbers (or ids), 1024 IPv4 addresses (network order), the count.
void fillConnectedTable(const TerminalTable &table, std::uint8_t *out, ListedName name = ListedName::Number);

// Drops every terminal that has not identified itself (model number 0), then
// lists the rest: 1024 texts of 34 bytes, numbers, addresses, model numbers, count.
void fillTerminalList(TerminalTable &table, std::uint8_t *out, ListedName name = ListedName::Number);

}  // namespace ks318
