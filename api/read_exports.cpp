// Reading what the terminals sent: pops of the per-terminal stores (newest
// first), the last reported values, and the answer events.
#include <cstdio>
#include <cstring>

#include "api/export_conventions.h"
#include "api/terminal_scan.h"
#include "ks318.h"

using namespace ks318;
using namespace ks318::api;

namespace {

constexpr ExportRule kPlain{0};
constexpr ExportRule kMinusOne{-1};
constexpr ExportRule kSensor{0, Requires::Model320};
constexpr ExportRule kMediaAndAudio{-1, Requires::Model320};

std::int32_t lastValue(std::int32_t number, ExportRule rule, std::atomic<std::int32_t> TTerminal::*field) {
    return onTerminal(number, rule, [&](TTerminal &terminal) { return (terminal.*field).load(); });
}

// Pops the newest record of a record store into the host's buffer: 1, or 0 when empty.
template <int Bytes>
std::int32_t popRecord(std::int32_t number, RecordStore<Bytes> TTerminal::*store, void *out) {
    return onTerminal(number, kPlain, [&](TTerminal &found) {
        std::uint8_t record[Bytes];
        if (!(found.*store).pop(record)) return 0;
        if (out != nullptr) std::memcpy(out, record, sizeof record);
        return 1;
    });
}

}  // namespace

extern "C" {

int32_t KQ_CALL kq_getserial(int32_t terminal, int32_t *source, void *buffer) {
    return onTerminal(terminal, kPlain, [&](TTerminal &found) {
        std::uint8_t entry[256];
        std::int32_t entrySource = 0;
        int length = 0;
        if (!found.serial.pop(entry, entrySource, length)) return 0;
        if (source != nullptr) *source = entrySource;
        if (buffer != nullptr && length > 0) std::memcpy(buffer, entry, static_cast<std::size_t>(length));
        return length;
    });
}

int32_t KQ_CALL kq_getmag(int32_t terminal, char *first, char *second) {
    return onTerminal(terminal, kPlain, [&](TTerminal &found) {
        char firstText[128], secondText[128];
        if (!found.mag.pop(firstText, secondText)) return 0;
        if (first != nullptr) std::strcpy(first, firstText);
        if (second != nullptr) std::strcpy(second, secondText);
        return 1;
    });
}

int32_t KQ_CALL kq_getconfig(int32_t terminal, void *config) { return popRecord(terminal, &TTerminal::config, config); }

int32_t KQ_CALL kq_getconfigwifi(int32_t terminal, void *wifi) { return popRecord(terminal, &TTerminal::wifi, wifi); }

int32_t KQ_CALL kq_getsensorstatus(int32_t terminal) { return lastValue(terminal, kSensor, &TTerminal::sensorStatus); }
int32_t KQ_CALL kq_getaudiostatus(int32_t terminal) { return lastValue(terminal, kMediaAndAudio, &TTerminal::audioStatus); }
int32_t KQ_CALL kq_getvolume(int32_t terminal) { return lastValue(terminal, kMediaAndAudio, &TTerminal::volume); }
int32_t KQ_CALL kq_getbrightness(int32_t terminal) { return lastValue(terminal, kMediaAndAudio, &TTerminal::brightness); }

int32_t KQ_CALL kq_getuid(int32_t terminal, char *text, void *uidText) {
    return onTerminal(terminal, kPlain, [&](TTerminal &found) {
        const TerminalReports reports = found.reports();
        if (text != nullptr) {
            // Appended to what the buffer holds: six bytes as 00:1A:2B:3C:4D:5E.
            char *end = text + std::strlen(text);
            for (int i = 0; i < 6; ++i) end += std::sprintf(end, i == 0 ? "%02X" : ":%02X", reports.uid[i]);
        }
        if (uidText != nullptr) std::memcpy(uidText, reports.uidText, sizeof reports.uidText);
        return 1;
    });
}

int32_t KQ_CALL kq_getsc(int32_t terminal, void *sc) {
    return onTerminal(terminal, kPlain, [&](TTerminal &found) {
        const TerminalReports reports = found.reports();
        if (sc != nullptr) std::memcpy(sc, reports.scData, sizeof reports.scData);
        return 1;
    });
}

int32_t KQ_CALL kq_getident(int32_t terminal) {
    return onTerminal(terminal, kPlain, [](TTerminal &found) { return static_cast<std::int32_t>(found.ident()); });
}

int32_t KQ_CALL kq_sergetstatus(int32_t terminal, int32_t port, int16_t *status) {
    return onTerminal(terminal, kPlain, [&](TTerminal &found) {
        const TerminalReports reports = found.reports();
        if (status != nullptr) *status = static_cast<int16_t>(reports.serialStatus[port == 0 ? 0 : 1]);
        return 1;
    });
}

unsigned char KQ_CALL kq_TemResposta(int32_t *terminal, unsigned char *code, int32_t *value, int32_t *count) {
    EventStack::Event event{};
    int remaining = 0;
    const std::int32_t number = scanTerminals([&](TTerminal &found) { return found.events.pop(event, remaining); });
    if (number == 0) return 0;
    if (terminal != nullptr) *terminal = number;
    if (code != nullptr) *code = event.code;
    if (value != nullptr) *value = event.value;
    if (count != nullptr) *count = remaining;
    return 1;
}

int32_t KQ_CALL kq_GetResposta(int32_t terminal, int32_t index) {
    return onTerminal(terminal, kMinusOne, [&](TTerminal &found) -> std::int32_t {
        if (index == -1) return found.events.top();
        if (index < -1 || index >= EventStack::kCapacity) return -1;
        return found.events.valueAt(index);
    });
}

}  // extern "C"
