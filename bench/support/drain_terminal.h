// A terminal that reads everything: it answers the handshake (19, 27) and the
// probe (17) as a simulated terminal does, drops every other byte, and counts
// them, so a benchmark can wait until what it sent has been read.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "port/socket.h"
#include "sim/sim_terminal.h"

namespace ks318::bench {

class DrainTerminal {
public:
    explicit DrainTerminal(sim::Identity identity = {}) : identity_(identity) {}
    ~DrainTerminal();
    DrainTerminal(const DrainTerminal &) = delete;
    DrainTerminal &operator=(const DrainTerminal &) = delete;

    // Connects to 127.0.0.1:port and starts reading.
    bool connect(int port);
    // Waits until the server's handshake is through (27 received).
    bool waitIdentified(int timeoutMs) const;
    // Bytes read so far, headers included.
    std::uint64_t received() const { return received_.load(std::memory_order_acquire); }
    // Waits (spinning, then yielding) until `total` bytes have been read.
    bool waitReceived(std::uint64_t total, int timeoutMs) const;
    // Sends bytes as the terminal.
    bool send(const std::uint8_t *bytes, std::size_t count);
    port::SocketHandle socket() const { return socket_; }

private:
    void readLoop();

    const sim::Identity identity_;
    port::SocketHandle socket_ = port::kNoSocket;
    std::thread reader_;
    std::mutex sendMutex_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> identified_{false};
};

}  // namespace ks318::bench
