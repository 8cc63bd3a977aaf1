// The wire frame: a 7-byte header (0x02, 16-bit code, signed 32-bit payload
// length, little-endian) followed by the payload, and the routines through which
// every outbound byte passes. Inbound bytes pass through the connection's
// InboundStream (server/inbound_stream.h).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

#include "port/clock.h"
#include "port/socket.h"
#include "server/bytes.h"

namespace ks318 {

inline constexpr std::uint8_t kFrameStart = 0x02;
inline constexpr int kHeaderBytes = 7;

// Results of InboundStream::receiveHeader besides a code (1 … 65535).
inline constexpr int kReceiveGone = -2;     // peer closed or the connection failed
inline constexpr int kReceiveSilent = -1;   // nothing (or no whole header) within the limit
inline constexpr int kReceiveIgnored = 0;   // bad start byte, or code 0

void encodeHeader(std::uint8_t *out, std::uint16_t code, std::int32_t length);

// The moment by which a whole frame must have gone out (or come in).
class Deadline {
public:
    static Deadline after(std::int64_t milliseconds) {
        return Deadline(port::tickMs() + static_cast<std::uint64_t>(std::max<std::int64_t>(milliseconds, 0)));
    }
    static Deadline never() { return Deadline(std::numeric_limits<std::uint64_t>::max()); }
    // Milliseconds left, 0 once it has passed (at most INT32_MAX).
    int remainingMs() const {
        const std::uint64_t now = port::tickMs();
        if (now >= atMs_) return 0;
        return static_cast<int>(std::min<std::uint64_t>(atMs_ - now, std::numeric_limits<std::int32_t>::max()));
    }
    bool passed() const { return port::tickMs() >= atMs_; }

private:
    explicit Deadline(std::uint64_t atMs) : atMs_(atMs) {}
    std::uint64_t atMs_;
};

// The code of a header (0 for a bad start byte or code 0); the length is
// written only for a code of 1 or more.
inline int decodeHeader(const std::uint8_t *header, std::int32_t &length) {
    if (header[0] != kFrameStart) return kReceiveIgnored;
    const int code = loadLE16(header + 1);
    if (code != 0) length = static_cast<std::int32_t>(loadLE32(header + 3));
    return code;
}

// Sends every byte: count on success, -1 as soon as a send fails or the
// deadline passes with bytes still to go, 0 for count ≤ 0.
int sendAll(port::SocketHandle socket, const void *data, int count, Deadline deadline = Deadline::never());

// Sends the pieces in order as one run of bytes, as many per send call as the
// system takes, straight from their memory: the total on success, -1 as soon as
// a send fails or the deadline passes. The pieces are used up (advanced) as they go out.
int sendAllPieces(port::SocketHandle socket, std::span<port::SendPiece> pieces,
                  Deadline deadline = Deadline::never());

// Sends a header announcing headerLength followed by the first count payload
// bytes, in one buffer. 7 + count on success, -1 on a send failure or a missed
// deadline, 0 when no buffer could be had. The caller holds the send gate; bulk
// data follows with sendAll under the same deadline.
int sendFrame(port::SocketHandle socket, const void *payload, int count, std::uint16_t code,
              std::int32_t headerLength, Deadline deadline = Deadline::never());

}  // namespace ks318
