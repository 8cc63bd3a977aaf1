// Listings of the connected terminals, and address texts.
#include <cstdio>
#include <cstring>
#include <string>

#include "api/export_conventions.h"
#include "api/terminal_addressing.h"
#include "ks318.h"
#include "port/socket.h"
#include "server/listings.h"
#include "server/server.h"

using ks318::globalServer;

namespace {

// Host listings are built in a buffer of the call, so two hosts threads listing at
// once never mix their fills. Null when the listing could not be made.
template <int Bytes, class Fill>
void *fillFor(void *out, Fill &&fill) noexcept {
    return ks318::api::atBoundary<void *>(nullptr, [&]() -> void * {
        std::uint8_t record[Bytes];
        fill(record);
        if (out != nullptr) std::memcpy(out, record, Bytes);
        return out;
    });
}

void copyDotted(std::uint32_t address, char *buffer) {
    const auto *octets = reinterpret_cast<const unsigned char *>(&address);
    std::snprintf(buffer, 16, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
}

// Listings name terminals as the calling thread addresses them.
ks318::ListedName listedName() {
    return ks318::api::threadAddressing() == ks318::api::Addressing::ById ? ks318::ListedName::Id
                                                                          : ks318::ListedName::Number;
}

}  // namespace

extern "C" {

void *KQ_CALL GetTabConectados(void *table) {
    return fillFor<ks318::kConnectedTableBytes>(
        table, [](std::uint8_t *record) { ks318::fillConnectedTable(globalServer().terminals(), record, listedName()); });
}

void *KQ_CALL kq_gettermconectados(void *list) {
    return fillFor<ks318::kTerminalListBytes>(
        list, [](std::uint8_t *record) { ks318::fillTerminalList(globalServer().terminals(), record, listedName()); });
}

char *KQ_CALL kq_ipfromid(int32_t terminal) {
    // A copy of the thread's own: the terminal may leave while the host still reads it.
    thread_local char text[16];
    return ks318::api::atBoundary<char *>(nullptr, [&]() -> char * {
        ks318::TerminalRef found = ks318::api::findNamed(globalServer().terminals(), terminal);
        if (!found) return nullptr;
        std::memcpy(text, found->ip(), sizeof text - 1);
        text[sizeof text - 1] = '\0';
        return text;
    });
}

unsigned char KQ_CALL kq_version(void) { return 32; }

int32_t KQ_CALL kq_libraryversion(void) { return KQ_VERSION_NUMBER; }

char *KQ_CALL kq_gethostip(char *buffer) {
    if (buffer == nullptr) return nullptr;
    buffer[0] = '\0';
    return ks318::api::atBoundary<char *>(nullptr, [&]() -> char * {
        std::uint32_t address = 0;
        if (!ks318::port::firstHostAddress(address)) return nullptr;
        copyDotted(address, buffer);
        return buffer;
    });
}

char *KQ_CALL GetIPFromHost(char *buffer) { return kq_gethostip(buffer); }

char *KQ_CALL kq_inet_ntoa(uint32_t address) {
    thread_local char text[16];
    copyDotted(address, text);
    return text;
}

char *KQ_CALL KQinet_ntoa(uint32_t address, char *buffer) {
    if (buffer != nullptr) copyDotted(address, buffer);
    return buffer;
}

uint32_t KQ_CALL kq_inet_addr(const char *text) { return ks318::port::inetAddr(text); }

uint32_t KQ_CALL KQinet_addr(const char *text) { return kq_inet_addr(text); }

}  // extern "C"
