// The reading side of a terminal's connection. Every byte the connection thread
// takes from the socket passes through this read-ahead buffer: one receive call
// fetches as much as has arrived, and headers and payloads are then handed out
// from memory, so a stream of small frames costs one receive per buffer rather
// than a wait and a receive per header and per payload. Bytes read ahead belong
// to the frames that follow and come out in order; only the connection thread
// reads, so nothing else may receive on the socket while the stream lives.
#pragma once

#include <cstdint>
#include <cstring>

#include "port/socket.h"
#include "server/frame.h"

namespace ks318 {

class InboundStream {
public:
    // A loopback segment's worth: a terminal that streams small frames is read
    // in a few large receives, which also keeps the window updates it gets back
    // few (a quarter of this went markedly slower). It lives on the connection
    // thread's stack, and pages no receive reached are never touched, so an idle
    // terminal costs only the few pages its handshake used.
    static constexpr int kCapacity = 64 * 1024;

    explicit InboundStream(port::SocketHandle socket) : socket_(socket) {}
    InboundStream(const InboundStream &) = delete;
    InboundStream &operator=(const InboundStream &) = delete;

    port::SocketHandle socket() const { return socket_; }
    // Bytes read from the socket and not yet handed out.
    int buffered() const { return end_ - start_; }
    // The longest wait for the next byte of a header or payload that has begun;
    // a read that waits longer stops short (the terminal stalled part-way).
    void setStallLimitMs(int ms) { stallLimitMs_ = ms; }

    // Set once a header or payload stopped short of what it announced (its time
    // ran out or the connection failed): the bytes that follow are no longer at
    // a frame's start, so nothing more may be read as frames.
    bool broken() const { return broken_; }

    // Waits at most limitMs for a first byte, then reads one header, completing a
    // header that arrives in pieces within limitMs of that byte. Returns a code
    // (≥ 1, with `length` written), kReceiveIgnored, kReceiveSilent or kReceiveGone.
    // A header that starts but never completes breaks the stream (kReceiveGone).
    int receiveHeader(std::int32_t &length, int limitMs) {
        // A busy terminal's headers are already here: no call, no clock.
        if (buffered() >= kHeaderBytes) return decodeHeader(take(kHeaderBytes), length);
        return receiveHeaderArriving(length, limitMs);
    }

    // Reads count bytes until all have arrived, the peer closed, or limitMs have
    // passed since the call. Returns the bytes read; fewer than count break the stream.
    int receiveFully(void *buffer, int count, int limitMs) {
        if (count >= 0 && count <= buffered()) {
            std::memcpy(buffer, take(count), static_cast<std::size_t>(count));
            return count;
        }
        return receiveFullyArriving(buffer, count, limitMs);
    }

    // Reads and drops count bytes under the same rule; true when all were consumed
    // (false breaks the stream).
    bool discard(std::int64_t count, int limitMs);

    // Hands out at most count bytes in place, waiting at most limitMs for a first
    // one: their number, with `bytes` pointing at them until the next call, or 0
    // when none came in time or the connection failed.
    int receivePiece(const std::uint8_t *&bytes, int count, int limitMs);

private:
    enum class Fill { Arrived, TimedOut, Gone };

    // Hands out count buffered bytes.
    const std::uint8_t *take(int count) {
        const std::uint8_t *bytes = bytes_ + start_;
        start_ += count;
        return bytes;
    }
    // The same reads when the buffer does not yet hold what they need.
    int receiveHeaderArriving(std::int32_t &length, int limitMs);
    int receiveFullyArriving(void *buffer, int count, int limitMs);

    // One receive into the free end of the buffer, waiting at most waitMs when
    // nothing is there yet.
    Fill fill(int waitMs);
    // Reads until at least `wanted` bytes are buffered (at most kCapacity), the
    // deadline passes or the connection fails. A start of 0 is read from the
    // clock here: reads served from the buffer never need the time.
    Fill fillTo(int wanted, std::uint64_t &start, int limitMs);

    const port::SocketHandle socket_;
    bool broken_ = false;
    int stallLimitMs_ = 0x7FFFFFFF;
    int start_ = 0;  // first byte not yet handed out
    int end_ = 0;    // one past the last byte received
    std::uint8_t bytes_[kCapacity];
};

}  // namespace ks318
