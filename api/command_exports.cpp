// The simple commands: one frame each, sent to the terminal the host names.
// Each export is one row: its code, what it asks of the terminal, its payload.
#include <cstring>

#include "api/export_conventions.h"
#include "ks318.h"
#include "server/bytes.h"

using namespace ks318;
using namespace ks318::api;

namespace {

// The word that commands 113 and 121 carry, so a stray frame cannot update or restart a terminal.
constexpr std::uint32_t kConfirmationWord = 0x4E71B28D;

struct Command {
    std::uint16_t code;
    ExportRule rule;
};

// Fail values and gates of the export groups.
constexpr ExportRule kPlain{0};
constexpr ExportRule kMinusOne{-1};
constexpr ExportRule kSensor{0, Requires::Model320};
constexpr ExportRule kMediaAndAudio{-1, Requires::Model320};
constexpr ExportRule kVersioned{0, Requires::Version32};

std::int32_t sendEmpty(std::int32_t number, Command command) {
    return onTerminal(number, command.rule, [&](TTerminal &terminal) { return sendCommand(terminal, command.code); });
}

// The bytes at the host's pointer, exactly `count` of them.
std::int32_t sendRecord(std::int32_t number, Command command, const void *record, int count) {
    if (record == nullptr)
        return onTerminal(number, command.rule, [&](TTerminal &) {
            port::noteFailure("no record given (a null pointer)");
            return command.rule.failValue;
        });
    return onTerminal(number, command.rule,
                      [&](TTerminal &terminal) { return sendCommand(terminal, command.code, record, count); });
}

// A 32-bit argument whole (4 bytes), or its low 16 bits (2) or low byte (1).
std::int32_t sendValue(std::int32_t number, Command command, std::int32_t value, int bytes) {
    std::uint8_t payload[4];
    storeLE32(payload, static_cast<std::uint32_t>(value));
    return sendRecord(number, command, payload, bytes);
}

// A zero-ended name and its zero.
std::int32_t sendName(std::int32_t number, Command command, const char *name) {
    const char *text = name != nullptr ? name : "";
    return sendRecord(number, command, text, static_cast<int>(std::strlen(text)) + 1);
}

std::int32_t sendConfirmed(std::int32_t number, Command command) {
    return sendValue(number, command, static_cast<std::int32_t>(kConfirmationWord), 4);
}

// Port 0 selects the first code of a pair, any other port the second.
Command forPort(std::int32_t port, std::uint16_t first, std::uint16_t second) {
    return Command{port == 0 ? first : second, kPlain};
}

// The two commands that never wait on the send gate (and never report it busy).
std::int32_t sendUngated(std::int32_t number, std::uint16_t code, const void *payload, int count) {
    if (payload == nullptr)
        return onTerminal(number, kPlain, [](TTerminal &) {
            port::noteFailure("no record given (a null pointer)");
            return 0;
        });
    return onTerminal(number, kPlain,
                      [&](TTerminal &terminal) { return sendCommandUngated(terminal, code, payload, count); });
}

}  // namespace

extern "C" {

int32_t KQ_CALL kq_sendlive(int32_t terminal) { return sendEmpty(terminal, {17, kPlain}); }
int32_t KQ_CALL kq_sendalwayslive(int32_t terminal) { return sendEmpty(terminal, {29, kPlain}); }
int32_t KQ_CALL kq_reqconfig(int32_t terminal) { return sendEmpty(terminal, {25, kPlain}); }
int32_t KQ_CALL kq_sendconfig(int32_t terminal, const void *config) { return sendRecord(terminal, {23, kPlain}, config, 222); }
int32_t KQ_CALL kq_reqconfigwifi(int32_t terminal) { return sendEmpty(terminal, {153, kPlain}); }
int32_t KQ_CALL kq_sendconfigwifi(int32_t terminal, const void *wifi) { return sendRecord(terminal, {151, kMinusOne}, wifi, 100); }
int32_t KQ_CALL kq_updatesoft(int32_t terminal) { return sendConfirmed(terminal, {113, kPlain}); }
int32_t KQ_CALL kq_restart(int32_t terminal) { return sendConfirmed(terminal, {121, kVersioned}); }
int32_t KQ_CALL kq_requid(int32_t terminal) { return sendEmpty(terminal, {27, kVersioned}); }
int32_t KQ_CALL kq_reqsc(int32_t terminal) { return sendEmpty(terminal, {123, kVersioned}); }
int32_t KQ_CALL kq_stopadv(int32_t terminal) { return sendEmpty(terminal, {45, kPlain}); }
int32_t KQ_CALL kq_goadv(int32_t terminal) { return sendEmpty(terminal, {43, kPlain}); }
int32_t KQ_CALL kq_reloadadv(int32_t terminal, int32_t number) { return sendValue(terminal, {117, kPlain}, number, 4); }
int32_t KQ_CALL kq_deleteadv(int32_t terminal) { return sendEmpty(terminal, {101, kPlain}); }
int32_t KQ_CALL kq_reloadpreimg(int32_t terminal, int32_t number) { return sendValue(terminal, {119, kPlain}, number, 4); }
int32_t KQ_CALL kq_deletepreimg(int32_t terminal) { return sendEmpty(terminal, {103, kPlain}); }

int32_t KQ_CALL kq_sendtext(int32_t terminal, const void *text) { return sendUngated(terminal, 35, text, 170); }

int32_t KQ_CALL kq_fillscreen(int32_t terminal, int32_t fill) {
    std::uint8_t payload[2];
    storeLE16(payload, static_cast<std::uint16_t>(fill));
    return sendUngated(terminal, 33, payload, 2);
}

int32_t KQ_CALL SetaTempoExib(int32_t terminal, int32_t time) { return sendValue(terminal, {39, kPlain}, time, 2); }
void KQ_CALL PedeTempoExib(int32_t terminal) { sendEmpty(terminal, {41, kPlain}); }
int32_t KQ_CALL HabilitaTeclado(int32_t terminal, int32_t value) { return sendValue(terminal, {49, kPlain}, value, 4); }
int32_t KQ_CALL HabilitaLEC(int32_t terminal, int32_t value) { return sendValue(terminal, {65, kPlain}, value, 4); }

int32_t KQ_CALL kq_sendconfigserial(int32_t terminal, int32_t port, const void *settings) {
    return sendRecord(terminal, forPort(port, 81, 87), settings, 12);
}

int32_t KQ_CALL kq_writeserial(int32_t terminal, int32_t port, int32_t length, const void *data) {
    // The count of meaningful bytes, then always 256 bytes from the host's buffer.
    std::uint8_t record[258] = {};
    storeLE16(record, static_cast<std::uint16_t>(length));
    if (data != nullptr) std::memcpy(record + 2, data, 256);
    return sendRecord(terminal, forPort(port, 85, 91), data != nullptr ? record : nullptr, 258);
}

int32_t KQ_CALL kq_serreqstatus(int32_t terminal, int32_t port) { return sendValue(terminal, {161, kPlain}, port, 1); }

int32_t KQ_CALL kq_sersetstatus(int32_t terminal, int32_t first, int32_t second) {
    const std::uint8_t payload[2] = {static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second)};
    return sendRecord(terminal, {163, kPlain}, payload, 2);
}

int32_t KQ_CALL kq_pedesensorstatus(int32_t terminal) { return sendEmpty(terminal, {170, kSensor}); }
int32_t KQ_CALL kq_setsensor(int32_t terminal, int32_t value) { return sendValue(terminal, {168, kSensor}, value, 4); }
int32_t KQ_CALL kq_ShowLocalMedia(int32_t terminal, const char *name) { return sendName(terminal, {166, kMediaAndAudio}, name); }
int32_t KQ_CALL kq_DeleteLocalMedia(int32_t terminal, const char *name) { return sendName(terminal, {184, kMediaAndAudio}, name); }
int32_t KQ_CALL kq_CleanInternalMem(int32_t terminal) { return sendEmpty(terminal, {186, kMediaAndAudio}); }
int32_t KQ_CALL kq_CleanExternalMem(int32_t terminal) { return sendEmpty(terminal, {188, kMediaAndAudio}); }
int32_t KQ_CALL kq_setaudio(int32_t terminal, int32_t value) { return sendValue(terminal, {172, kMediaAndAudio}, value, 4); }
int32_t KQ_CALL kq_pedeaudiostatus(int32_t terminal) { return sendEmpty(terminal, {174, kMediaAndAudio}); }
int32_t KQ_CALL kq_setvolume(int32_t terminal, int32_t value) { return sendValue(terminal, {176, kMediaAndAudio}, value, 4); }
int32_t KQ_CALL kq_pedevolume(int32_t terminal) { return sendEmpty(terminal, {178, kMediaAndAudio}); }
int32_t KQ_CALL kq_setbrightness(int32_t terminal, int32_t value) { return sendValue(terminal, {180, kMediaAndAudio}, value, 4); }
int32_t KQ_CALL kq_pedebrightness(int32_t terminal) { return sendEmpty(terminal, {182, kMediaAndAudio}); }

}  // extern "C"
