// The two sides every benchmark compares: the library's server, started through
// the exports on a free loopback port with a host that does nothing but count,
// and plain sockets on the same loopback with the same options (the baseline).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ks318.h"
#include "port/socket.h"
#include "server/limits.h"

namespace ks318::bench {

inline constexpr std::uint32_t kConnectMessage = 1025;
inline constexpr std::uint32_t kDataMessage = 1026;

// The host: its handlers only count what they are told. Data notifications are
// counted as coming from one terminal at a time (each benchmark feeds one).
struct CountingHost {
    std::atomic<std::uint64_t> connects{0};
    std::atomic<std::uint64_t> data{0};
    KqHostTarget target{this, &CountingHost::post, &CountingHost::send};

    static void post(void *context, std::uint32_t, std::uint32_t, std::uint32_t lParam);
    static void send(void *context, std::uint32_t, std::uint32_t, std::uint32_t);
};

// The library's server for one benchmark's life; notifications go to the
// counting host, or to `target` when one is given (it must outlive the session).
class LibrarySession {
public:
    explicit LibrarySession(KqHostTarget *target = nullptr);
    ~LibrarySession();
    LibrarySession(const LibrarySession &) = delete;
    LibrarySession &operator=(const LibrarySession &) = delete;

    bool started() const { return port_ != 0; }
    int port() const { return port_; }
    CountingHost &host() { return host_; }

private:
    CountingHost host_;
    int port_ = 0;
};

// A plain listening socket on 127.0.0.1 and a free port, with the library's
// listen backlog unless told another; accepted connections get the options the
// library gives its own (no Nagle delay).
class PlainListener {
public:
    explicit PlainListener(int backlog = ServerLimits{}.backlog);
    ~PlainListener();
    PlainListener(const PlainListener &) = delete;
    PlainListener &operator=(const PlainListener &) = delete;

    int port() const { return port_; }
    port::SocketHandle handle() const { return socket_; }
    // One accepted connection, closed by the caller.
    port::SocketHandle accept();

private:
    port::SocketHandle socket_ = port::kNoSocket;
    int port_ = 0;
};

// The plain writer: a send loop over every byte. False when a send failed.
bool plainWrite(port::SocketHandle socket, const std::uint8_t *bytes, std::size_t count);

}  // namespace ks318::bench
