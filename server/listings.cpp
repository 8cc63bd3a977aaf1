#include "server/listings.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "server/bytes.h"
#include "server/terminal_table.h"

namespace ks318 {
namespace {

constexpr int kSlots = 1024;

// The address as its dotted text converts: network byte order, first octet first.
void storeAddress(std::uint8_t *out, const TTerminal &terminal) {
    const std::uint32_t address = terminal.ipValue();
    std::memcpy(out, &address, 4);
}

std::uint32_t listedName(const TTerminal &terminal, int index, ListedName name) {
    return static_cast<std::uint32_t>(name == ListedName::Id ? terminal.id() : index + 1);
}

}  // namespace

void fillConnectedTable(const TerminalTable &table, std::uint8_t *out, ListedName name) {
    std::memset(out, 0, kConnectedTableBytes);
    const std::vector<TerminalRef> terminals = table.snapshot();
    const int count = std::min<int>(static_cast<int>(terminals.size()), kSlots);
    for (int i = 0; i < count; ++i) {
        const TTerminal &terminal = *terminals[static_cast<std::size_t>(i)];
        storeLE32(out + 4 * i, listedName(terminal, i, name));
        storeAddress(out + 4096 + 4 * i, terminal);
    }
    storeLE32(out + 8192, static_cast<std::uint32_t>(count));
}

void fillTerminalList(TerminalTable &table, std::uint8_t *out, ListedName name) {
    std::memset(out, 0, kTerminalListBytes);
    // A terminal still in its handshake has no model number yet: it is neither
    // removed nor listed (its entries stay zero) until it has identified itself.
    table.removeIf([](const TTerminal &terminal) { return terminal.identified() && terminal.modelNumber() == 0; });
    const std::vector<TerminalRef> terminals = table.snapshot();
    const int count = std::min<int>(static_cast<int>(terminals.size()), kSlots);
    for (int i = 0; i < count; ++i) {
        const TTerminal &terminal = *terminals[static_cast<std::size_t>(i)];
        if (!terminal.identified()) continue;
        const TerminalReports reports = terminal.reports();
        std::memcpy(out + 34 * i, reports.uidText, sizeof reports.uidText);  // 2 zero bytes follow
        storeLE32(out + 34816 + 4 * i, listedName(terminal, i, name));
        storeAddress(out + 38912 + 4 * i, terminal);
        storeLE32(out + 43008 + 4 * i, static_cast<std::uint32_t>(terminal.modelNumber()));
    }
    storeLE32(out + 47104, static_cast<std::uint32_t>(count));
}

}  // namespace ks318
