// Configuration records built from, or unpacked into, separate arguments.
#include <cstring>
#include <string>

#include "api/terminal_scan.h"
#include "ks318.h"
#include "port/socket.h"
#include "server/bytes.h"

using namespace ks318;

namespace {

// A text into a field of `width` bytes: cut so that its zero fits, the rest zero-filled.
void putTerminated(std::uint8_t *field, const char *text, std::size_t width) {
    std::memset(field, 0, width);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, width - 1));
}

// A text into a field of `width` bytes, zero-filled; a text of `width` or more fills it unterminated.
void putFilled(std::uint8_t *field, const char *text, std::size_t width) {
    std::memset(field, 0, width);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, width));
}

// A field's text out to a host buffer of `size` bytes, always zero-ended.
void takeText(char *out, const std::uint8_t *field, std::size_t fieldWidth, std::size_t size) {
    if (out == nullptr) return;
    std::size_t length = strnlen(reinterpret_cast<const char *>(field), std::min(fieldWidth, size - 1));
    std::memcpy(out, field, length);
    out[length] = '\0';
}

void takeAddress(char *out, const std::uint8_t *field) {
    if (out == nullptr) return;
    std::uint32_t address;
    std::memcpy(&address, field, 4);
    std::string text = port::inetNtoa(address);
    std::memcpy(out, text.c_str(), text.size() + 1);
}

void putAddress(std::uint8_t *field, const char *text) {
    const std::uint32_t address = port::inetAddr(text);  // all ones for text that is no address
    std::memcpy(field, &address, 4);
}

}  // namespace

extern "C" {

int32_t KQ_CALL SendConfig(int32_t terminal, const char *address1, const char *address2, const char *address3,
                           const char *address4, const char *address5, const char *text1, int32_t number1,
                           const char *text2, const char *text3, const char *text4, int32_t number2,
                           int32_t number3) {
    std::uint8_t record[222] = {};
    const char *addresses[5] = {address1, address2, address3, address4, address5};
    for (int i = 0; i < 5; ++i) putAddress(record + 4 * i, addresses[i]);
    putTerminated(record + 20, text1, 32);
    storeLE16(record + 52, static_cast<std::uint16_t>(number1));
    putTerminated(record + 54, text2, 100);
    putTerminated(record + 154, text3, 30);
    putTerminated(record + 184, text4, 30);
    storeLE32(record + 214, static_cast<std::uint32_t>(number2));
    storeLE32(record + 218, static_cast<std::uint32_t>(number3));
    return kq_sendconfig(terminal, record);
}

unsigned char KQ_CALL GetConfig(int32_t *terminal, char *address1, char *address2, char *address3, char *address4,
                                char *address5, char *text1, int16_t *number1, char *text2, char *text3,
                                char *text4, unsigned char *number2, unsigned char *number3) {
    std::uint8_t record[222];
    const std::int32_t number = api::scanTerminals([&](TTerminal &found) { return found.config.pop(record); });
    if (number == 0) return 0;
    if (terminal != nullptr) *terminal = number;
    char *addresses[5] = {address1, address2, address3, address4, address5};
    for (int i = 0; i < 5; ++i) takeAddress(addresses[i], record + 4 * i);
    // Host buffers of 32, 100, 30 and 30 bytes hold the texts with their zero.
    takeText(text1, record + 20, 32, 32);
    if (number1 != nullptr) *number1 = static_cast<int16_t>(loadLE16(record + 52));
    takeText(text2, record + 54, 100, 100);
    takeText(text3, record + 154, 30, 30);
    takeText(text4, record + 184, 30, 30);
    if (number2 != nullptr) *number2 = record[214];
    if (number3 != nullptr) *number3 = record[218];
    return 1;
}

int32_t KQ_CALL SendConfigWifi(int32_t terminal, int32_t number1, int32_t number2, const char *text1, int32_t number3,
                               int32_t number4, const char *text2) {
    std::uint8_t record[100] = {};
    storeLE32(record + 0, static_cast<std::uint32_t>(number1));
    storeLE32(record + 4, static_cast<std::uint32_t>(number2));
    putFilled(record + 8, text1, 20);
    storeLE32(record + 28, static_cast<std::uint32_t>(number3));
    storeLE32(record + 32, static_cast<std::uint32_t>(number4));
    putFilled(record + 36, text2, 64);
    return kq_sendconfigwifi(terminal, record);
}

int32_t KQ_CALL AbreSerialCOM(int32_t terminal, int32_t port, int32_t setting1, int32_t setting2, int32_t setting3,
                              int32_t setting4) {
    std::uint8_t record[12] = {};
    storeLE32(record + 0, static_cast<std::uint8_t>(setting1));
    storeLE32(record + 4, static_cast<std::uint32_t>(setting2));
    record[8] = static_cast<std::uint8_t>(setting3);
    record[9] = static_cast<std::uint8_t>(setting4);
    storeLE16(record + 10, 10);
    return kq_sendconfigserial(terminal, port & 0xFF, record);
}

}  // extern "C"
