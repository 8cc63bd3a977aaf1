// The inbound catalogue: for every code a terminal sends, how its payload is
// read, what is stored, and which data notification the host receives.
#pragma once

#include <cstdint>

namespace ks318 {

class InboundStream;
class Server;
class TTerminal;

inline constexpr int kFrameBufferBytes = 388;

struct InboundContext {
    Server &server;
    TTerminal &terminal;
    InboundStream &stream;  // the connection's only way to its socket's bytes
};

// Reads the payload of a frame whose header has been read, stores it and
// notifies the host. Whatever the header claims, every byte of the frame is
// consumed (or the frame is given up on after the receive limit), so the stream
// stays in step, and nothing is written past the frame buffer.
void dispatchFrame(InboundContext &context, std::uint16_t code, std::int32_t length);

}  // namespace ks318
