// The inbound catalogue: for every code a terminal sends, how its payload is
// read, what is stored, and which data notification the host receives.
#pragma once

#include <cstdint>

#include "server/notifications.h"

namespace ks318 {

class InboundStream;
class Server;
class TTerminal;

inline constexpr int kFrameBufferBytes = 388;

// The payload of the frame at hand, kept for the connection's life so that
// only what a longer earlier frame left behind needs clearing.
class FrameBuffer {
public:
    std::uint8_t *bytes() { return bytes_; }
    // Zeros from `count` on; what a frame wrote below it stays.
    void clearFrom(int count);

private:
    std::uint8_t bytes_[kFrameBufferBytes] = {};
    int written_ = 0;  // every byte from here on is zero
};

struct InboundContext {
    Server &server;
    TTerminal &terminal;
    InboundStream &stream;  // the connection's only way to its socket's bytes
    Notifications::Epoch epoch;  // of the connection thread's start (server/notifications.h)
    FrameBuffer frame{};
};

// Reads the payload of a frame whose header has been read, stores it and
// notifies the host. Whatever the header claims, every byte of the frame is
// consumed (or the frame is given up on after the receive limit), so the stream
// stays in step, and nothing is written past the frame buffer.
void dispatchFrame(InboundContext &context, std::uint16_t code, std::int32_t length);

}  // namespace ks318
