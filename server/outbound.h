// Sending to a terminal: every frame goes out whole, under the terminal's send
// gate and through its outbound lane, so frames of different threads never mix
// on the socket, and a frame that cannot go out whole in time ends the connection.
#pragma once

#include <cstdint>

#include "port/failure.h"
#include "server/frame.h"
#include "server/terminal.h"

namespace ks318 {

inline constexpr int kSendGateBusy = -2;

// Takes the send gate (polling for at most gateLimitMs), then writes one frame of
// frameBytes bytes in all (header included) with write(FrameWriter&) within the
// frame's deadline, and returns write's result; kSendGateBusy when the gate
// stayed busy. A result of -1 (a failed write or a missed deadline) has ended
// the connection.
template <class Write>
int sendUnderGate(TTerminal &terminal, int gateLimitMs, std::int64_t frameBytes, Write &&write) {
    if (!terminal.sendGate.take(gateLimitMs)) {
        port::noteFailureFormat("the terminal stayed busy with another frame for %d s", gateLimitMs / 1000);
        return kSendGateBusy;
    }
    const int result = terminal.outbound.write(frameBytes, write);
    terminal.sendGate.release();
    if (result == -1) port::noteFailure("the frame could not be sent whole in time: the connection has ended");
    if (result == 0) port::noteFailure("no memory for the frame");
    return result;
}

// One whole frame through the send gate: sendFrame's result, or kSendGateBusy.
inline int sendGatedFrame(TTerminal &terminal, int gateLimitMs, std::uint16_t code,
                          const void *payload, int count) {
    return sendUnderGate(terminal, gateLimitMs, kHeaderBytes + static_cast<std::int64_t>(count),
                         [&](const FrameWriter &out) { return out.frame(payload, count, code, count); });
}

// One short frame that does not wait on the send gate nor for a frame on the
// wire: it is queued behind that frame and never refused as busy.
inline int sendUngatedFrame(TTerminal &terminal, std::uint16_t code, const void *payload, int count) {
    const int result = terminal.outbound.sendShort(code, payload, count);
    if (result == -1)
        port::noteFailure(terminal.outbound.failed() ? "the connection has ended"
                                                     : "the terminal's queue of waiting frames is full");
    if (result == 0) port::noteFailure("no memory for the frame");
    return result;
}

}  // namespace ks318
