// Two ends of a loopback TCP connection, for tests of the frame routines.
#pragma once

#include "port/socket.h"

namespace ks318::test {

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
