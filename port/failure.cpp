#include "port/failure.h"

#include "port/socket.h"

namespace ks318::port {
namespace {

thread_local std::string reason;
thread_local bool noted = false;

}  // namespace

void clearFailure() noexcept {
    reason.clear();
    noted = false;
}

void noteFailure(const char *text) noexcept {
    if (noted) return;
    noted = true;
    try {
        reason = text;
    } catch (...) {
        reason.clear();
        reason.shrink_to_fit();
        static const char kNoMemory[] = "no memory";
        // The short text fits the string's own storage: no allocation.
        reason.assign(kNoMemory, sizeof kNoMemory - 1);
    }
}

void noteFailure(const std::string &text) noexcept { noteFailure(text.c_str()); }

const char *lastFailure() noexcept { return reason.c_str(); }

void noteListenFailure(ListenFailure why, const char *bindAddress, int port, const char *detail) {
    const std::string address = bindAddress == nullptr || bindAddress[0] == '\0' ? "every address" : bindAddress;
    const std::string where = address + " port " + std::to_string(port);
    switch (why) {
    case ListenFailure::BadAddress: noteFailure("'" + address + "' is not an IPv4 address"); break;
    case ListenFailure::AddressNotLocal: noteFailure(address + " is not an address of this computer"); break;
    case ListenFailure::PortInUse: noteFailure(where + " is in use"); break;
    case ListenFailure::NotPermitted: noteFailure("no permission to listen on " + where); break;
    case ListenFailure::Other: noteFailure("cannot listen on " + where + ": " + detail); break;
    }
}

}  // namespace ks318::port
