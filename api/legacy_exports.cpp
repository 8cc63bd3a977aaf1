// The older export set: forwards to the current exports, builders of records
// from separate arguments, scanners over every terminal, and two empty stubs.
#include <cstring>

#include "api/terminal_scan.h"
#include "ks318.h"
#include "server/bytes.h"

using namespace ks318;

extern "C" {

int32_t KQ_CALL EnviaVivo(int32_t terminal) { return kq_sendlive(terminal); }
int32_t KQ_CALL EnviaSempreVivo(int32_t terminal) { return kq_sendalwayslive(terminal); }
int32_t KQ_CALL PedeConfig(int32_t terminal) { return kq_reqconfig(terminal); }
int32_t KQ_CALL UpdateSoft(int32_t terminal) { return kq_updatesoft(terminal); }
int32_t KQ_CALL StopAdv(int32_t terminal) { return kq_stopadv(terminal); }
int32_t KQ_CALL DeleteAdv(int32_t terminal) { return kq_deleteadv(terminal); }
int32_t KQ_CALL AtualizaAdv(int32_t terminal, int32_t number) { return kq_reloadadv(terminal, number); }
int32_t KQ_CALL ClearDisplay(int32_t terminal, int32_t fill) { return kq_fillscreen(terminal, fill & 0xFFFF); }
int32_t KQ_CALL EnviaImagem(int32_t terminal, void *palette, void *pixels) { return kq_sendimage(terminal, palette, pixels); }
int32_t KQ_CALL EnviaImagemDoArquivo(int32_t terminal, const char *fileName) { return kq_sendimgfromfile(terminal, fileName); }

int32_t KQ_CALL EnviaArquivo(int32_t terminal, const char *path, const char *name) { return kq_sendfile(terminal, path, name); }

int32_t KQ_CALL EscreveSerial(int32_t terminal, int32_t port, int32_t length, const void *data) {
    return kq_writeserial(terminal, port & 0xFF, length, data);
}

int32_t KQ_CALL EnviaTexto(int32_t terminal, int32_t first, int32_t second, const char *text, const char *secondText,
                           int32_t third, int32_t fourth) {
    // The text record: texts cut to keep their zero inside their fields.
    std::uint8_t record[170] = {};
    storeLE16(record + 0, static_cast<std::uint16_t>(first));
    storeLE16(record + 2, static_cast<std::uint16_t>(second));
    if (text != nullptr) std::memcpy(record + 4, text, strnlen(text, 127));
    if (secondText != nullptr) std::memcpy(record + 132, secondText, strnlen(secondText, 31));
    storeLE16(record + 164, 1);
    storeLE16(record + 166, static_cast<std::uint16_t>(third));
    storeLE16(record + 168, static_cast<std::uint16_t>(fourth));
    return kq_sendtext(terminal, record);
}

// Asked for by old hosts; the terminals have no such request, so nothing is sent.
void KQ_CALL PedeHabilitaTeclado(int32_t) {}
void KQ_CALL PedeHabilitaLEC(int32_t) {}

unsigned char KQ_CALL GetSerial(int32_t *terminal, int32_t *source, void *buffer, int32_t *length) {
    if (length != nullptr) *length = 0;
    int found = 0;
    const std::int32_t number = api::scanTerminals([&](TTerminal &candidate) {
        std::uint8_t entry[256];
        std::int32_t entrySource = 0;
        if (!candidate.serial.pop(entry, entrySource, found)) return false;
        if (source != nullptr) *source = entrySource;
        // An empty entry is taken away, and the walk goes on with the next terminal.
        if (found == 0) return false;
        if (buffer != nullptr) std::memcpy(buffer, entry, static_cast<std::size_t>(found));
        return true;
    });
    if (number == 0) return 0;
    if (terminal != nullptr) *terminal = number;
    if (length != nullptr) *length = found;
    return 1;
}

unsigned char KQ_CALL GetLEC(int32_t *terminal, char *secondText, int32_t *mask) {
    char first[128], second[128];
    const std::int32_t number = api::scanTerminals([&](TTerminal &candidate) { return candidate.mag.pop(first, second); });
    if (number == 0) return 0;
    if (terminal != nullptr) *terminal = number;
    if (secondText != nullptr) std::strcpy(secondText, second);
    if (mask != nullptr) *mask = (first[0] != '\0' ? 1 : 0) + (second[0] != '\0' ? 2 : 0);
    return 1;
}

unsigned char KQ_CALL Get_KBD_char(int32_t *handle, unsigned char *key) {
    std::int32_t keyHandle = 0, keyId = 0;
    std::uint8_t pressed = 0;
    if (!globalServer().keys().pop(keyHandle, pressed, &keyId)) return 0;
    if (key != nullptr) *key = pressed;
    // In id mode the key names its terminal by id: a handle may since belong to another connection.
    if (handle != nullptr) *handle = api::threadAddressing() == api::Addressing::ById ? keyId : keyHandle;
    return 1;
}

}  // extern "C"
