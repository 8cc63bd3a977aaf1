// Two ends of a loopback TCP connection, for tests of the frame routines.
#pragma once

#include <cstdint>

#include "port/socket.h"

namespace ks318::test {

// Reads exactly count bytes as a terminal would, one byte past none; fewer when
// the peer closed or timeoutMs passed without a byte.
inline int readExactly(port::SocketHandle socket, void *buffer, int count, int timeoutMs) {
    auto *out = static_cast<std::uint8_t *>(buffer);
    int done = 0;
    while (done < count && port::waitReadable(socket, timeoutMs) > 0) {
        const int received = port::receiveSome(socket, out + done, count - done);
        if (received <= 0) break;
        done += received;
    }
    return done;
}

// Waits until at least `count` bytes are there to be received on the socket,
// leaving them there; false when they did not all arrive within timeoutMs.
// (Defined in host_recorder.cpp, the support file built on every platform.)
bool waitReceivable(port::SocketHandle socket, int count, int timeoutMs);

struct SocketPair {
    SocketPair() {
        port::SocketHandle listener = port::listenTcp("127.0.0.1", 0, 1);
        client = port::connectTcp("127.0.0.1", port::localPort(listener));
        std::uint32_t peer = 0;
        server = port::acceptTcp(listener, peer);
        port::closeSocket(listener);
    }
    ~SocketPair() {
        port::closeSocket(client);
        port::closeSocket(server);
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;

    port::SocketHandle client = port::kNoSocket;  // plays the terminal
    port::SocketHandle server = port::kNoSocket;  // the server's end
};

}  // namespace ks318::test
