#include "port/failure.h"

#include <cstdarg>
#include <cstdio>

#include "port/socket.h"

namespace ks318::port {
namespace {

thread_local char reason[kFailureTextBytes];
thread_local bool noted = false;

}  // namespace

void clearFailure() noexcept {
    reason[0] = '\0';
    noted = false;
}

void noteFailure(const char *text) noexcept { noteFailureFormat("%s", text != nullptr ? text : ""); }

void noteFailure(const std::string &text) noexcept { noteFailure(text.c_str()); }

void noteFailureFormat(const char *format, ...) noexcept {
    if (noted) return;
    noted = true;
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
}

const char *lastFailure() noexcept { return reason; }

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
