#include "server/terminal.h"

#include <cstring>
#include <string>

namespace ks318 {

TTerminal::TTerminal(port::SocketHandle socket, std::uint32_t peerAddress, FrameTiming timing)
    : outbound(socket, timing), socket_(socket), id_(nextTerminalId()) {
    std::string text = port::inetNtoa(peerAddress);
    std::strncpy(ipBuf_, text.c_str(), sizeof ipBuf_ - 1);
}

TTerminal::~TTerminal() { port::closeSocket(socket_); }

std::uint32_t TTerminal::ipValue() const { return port::inetAddr(ipBuf_); }

void TTerminal::shutdownConnection() { outbound.fail(); }

ImageUpdateConfig TTerminal::imageUpdateConfig() const {
    SpinGuard guard(imageUpdateLock_);
    return imageUpdateConfig_;
}

void TTerminal::setImageUpdateConfig(const ImageUpdateConfig &config) {
    SpinGuard guard(imageUpdateLock_);
    imageUpdateConfig_.first = config.first;
    // The text is kept up to its zero, cut at 99 characters when it has none.
    std::size_t length = strnlen(config.text, sizeof config.text - 1);
    std::memcpy(imageUpdateConfig_.text, config.text, length);
    imageUpdateConfig_.text[length] = '\0';
    imageUpdateConfig_.second = config.second;
    imageUpdateConfig_.third = config.third;
}

TerminalReports TTerminal::reports() const {
    SpinGuard guard(reportLock_);
    return reports_;
}

}  // namespace ks318
