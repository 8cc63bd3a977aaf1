// Terminal ids: the thread's addressing mode, the id of a notification, the
// mapping between ids and numbers, and the listing with ids.
#include <algorithm>
#include <cstring>

#include "api/export_conventions.h"
#include "api/terminal_addressing.h"
#include "ks318.h"
#include "server/notified_terminal.h"

using namespace ks318;

extern "C" {

int32_t KQ_CALL kq_addressby(int32_t mode) {
    return api::atBoundary(std::int32_t{-1}, [&]() -> std::int32_t {
        const auto previous = static_cast<std::int32_t>(api::threadAddressing());
        if (mode != KQ_ADDRESS_BY_NUMBER && mode != KQ_ADDRESS_BY_ID) {
            port::noteFailure(std::to_string(mode) + " is not an addressing mode (KQ_ADDRESS_BY_NUMBER or KQ_ADDRESS_BY_ID)");
            return -1;
        }
        api::setThreadAddressing(static_cast<api::Addressing>(mode));
        return previous;
    });
}

int32_t KQ_CALL kq_notifiedterminal(uint32_t message, uint32_t wParam, uint32_t lParam) {
    return api::atBoundary(std::int32_t{0}, [&]() -> std::int32_t {
        // A handler on the notifying thread: that thread names its terminal.
        if (TerminalId id = NotifiedTerminal::onThisThread()) return id;
        const TerminalId id = globalServer().notifications().terminalOf(message, wParam, lParam);
        if (id == 0) port::noteFailure("no notification with these values is being handled");
        return id;
    });
}

int32_t KQ_CALL kq_terminalnumber(int32_t id) {
    return api::atBoundary(std::int32_t{0}, [&]() -> std::int32_t {
        TerminalTable &table = globalServer().terminals();
        const TerminalRef terminal = table.findById(id);
        const int number = terminal ? table.numberOf(terminal.get()) : 0;
        if (number == 0) port::noteFailure("no terminal id " + std::to_string(id));
        return number;
    });
}

int32_t KQ_CALL kq_terminalid(int32_t number) {
    return api::atBoundary(std::int32_t{0}, [&]() -> std::int32_t {
        const TerminalRef terminal = number < 1 ? nullptr : globalServer().terminals().get(number);
        if (!terminal) {
            port::noteFailure("no terminal " + std::to_string(number));
            return 0;
        }
        return terminal->id();
    });
}

int32_t KQ_CALL kq_listterminals(KqTerminalInfo *entries, int32_t capacity) {
    return api::atBoundary(std::int32_t{-1}, [&]() -> std::int32_t {
        if (capacity < 0 || (entries == nullptr && capacity > 0)) {
            port::noteFailure("no room for the listing (a null list or a negative capacity)");
            return -1;
        }
        // One copy of the table: numbers and ids as they were at one moment.
        const std::vector<TerminalRef> terminals = globalServer().terminals().snapshot();
        std::int32_t listed = 0;
        for (std::size_t i = 0; i < terminals.size(); ++i) {
            const TTerminal &terminal = *terminals[i];
            if (!terminal.identified()) continue;
            if (listed < capacity) {
                KqTerminalInfo info{};
                info.number = static_cast<std::int32_t>(i + 1);
                info.id = terminal.id();
                info.address = terminal.ipValue();
                info.model = terminal.modelNumber();
                info.version = terminal.terminalVersion();
                const TerminalReports reports = terminal.reports();
                std::memcpy(info.identifier, reports.uidText, strnlen(reports.uidText, sizeof info.identifier - 1));
                entries[listed] = info;
            }
            ++listed;
        }
        return listed;
    });
}

}  // extern "C"
