// Feeds arbitrary byte streams to a connection thread as a terminal would: the
// real handshake, reading loop and inbound dispatch, over a socket pair.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "port/socket.h"
#include "server/connection.h"
#include "server/server.h"

namespace {

ks318::Server &fuzzServer() {
    static ks318::Server *server = [] {
        ks318::ServerLimits limits;
        limits.receiveLimitMs = 20;  // a stream that stops short ends quickly
        limits.sendGateLimitMs = 20;
        limits.outbound.allowanceMs = 200;
        return new ks318::Server(limits);
    }();
    return *server;
}

// The identification answer a good terminal gives first.
constexpr std::uint8_t kIdentification[] = {0x02, 20, 0, 4, 0, 0, 0, 32, 0x01, 0x40, 0};

void writeAll(ks318::port::SocketHandle socket, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        int sent = ks318::port::sendSome(socket, data, static_cast<int>(size));
        if (sent <= 0) return;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

}  // namespace

// The first byte chooses whether the stream follows a valid handshake; the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const bool identified = (data[0] & 1) == 0;
    ++data;
    --size;

    ks318::port::SocketHandle serverEnd, terminalEnd;
    if (!ks318::port::socketPair(serverEnd, terminalEnd)) return 0;
    ks318::Server &server = fuzzServer();
    server.keys().reset();
    auto terminal = std::make_shared<ks318::TTerminal>(serverEnd, 0x0100007F, server.limits().outbound);
    server.terminals().add(terminal);

    std::thread writer([&] {
        if (identified) writeAll(terminalEnd, kIdentification, sizeof kIdentification);
        writeAll(terminalEnd, data, size);
        ks318::port::shutdownSocket(terminalEnd);  // the terminal goes: the thread must end
    });
    server.threadStarted();
    ks318::runConnection(server, terminal);
    writer.join();
    server.terminals().clear();
    terminal.reset();
    ks318::port::closeSocket(terminalEnd);
    return 0;
}
