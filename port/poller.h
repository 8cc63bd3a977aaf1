// Readiness of many sockets at once, for programs that play many terminals on
// one thread (the load driver of the benchmarks).
#pragma once

#include <cstdint>

#include "port/socket.h"

namespace ks318::port {

class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    bool valid() const { return handle_ >= 0; }
    // Watches the socket for bytes to read (or its end); `tag` comes back with it.
    bool add(SocketHandle socket, std::uint64_t tag);
    void remove(SocketHandle socket);
    // Waits at most timeoutMs; writes the tags of readable sockets and returns
    // their number (0 on time-out, -1 on error).
    int wait(std::uint64_t *tags, int capacity, int timeoutMs);

private:
    int handle_ = -1;
};

}  // namespace ks318::port
