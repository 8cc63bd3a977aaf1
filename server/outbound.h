// Sending to a terminal: every frame goes out whole, under the terminal's send
// gate and frame lock, so frames of different threads never mix on the socket.
#pragma once

#include <cstdint>
#include <mutex>

#include "server/frame.h"
#include "server/terminal.h"

namespace ks318 {

inline constexpr int kSendGateBusy = -2;

// Takes the send gate (polling for at most gateLimitMs) and the frame lock, runs
// write(socket) and returns its result; kSendGateBusy when the gate stayed busy.
template <class Write>
int sendUnderGate(TTerminal &terminal, int gateLimitMs, Write &&write) {
    if (!terminal.sendGate.take(gateLimitMs)) return kSendGateBusy;
    int result;
    {
        std::lock_guard frame(terminal.frameLock);
        result = write(terminal.socket());
    }
    terminal.sendGate.release();
    return result;
}

// One whole frame through the send gate: sendFrame's result, or kSendGateBusy.
inline int sendGatedFrame(TTerminal &terminal, int gateLimitMs, std::uint16_t code,
                          const void *payload, int count) {
    return sendUnderGate(terminal, gateLimitMs, [&](port::SocketHandle socket) {
        return sendFrame(socket, payload, count, code, count);
    });
}

// One whole frame that does not wait on the send gate: it only waits for the
// frame on the wire to end, and is never refused as busy.
inline int sendUngatedFrame(TTerminal &terminal, std::uint16_t code, const void *payload, int count) {
    std::lock_guard frame(terminal.frameLock);
    return sendFrame(terminal.socket(), payload, count, code, count);
}

}  // namespace ks318
