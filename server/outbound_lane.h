// The way out to one terminal. Every frame leaves whole under the frame lock,
// within a deadline of its size; a frame that misses it, or whose write fails,
// leaves the terminal expecting bytes that will never come, so the connection
// is given up and the terminal reconnects in step.
//
// Short frames that must never wait behind a long one (texts and fills) are
// queued instead: whoever holds the frame lock writes them right after its own
// frame, in the order they were queued, and a sender that finds the lock free
// writes them itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ks318.h"
#include "port/socket.h"
#include "server/frame.h"
#include "server/limits.h"

namespace ks318 {

// What a frame's writer is given: the socket and the deadline of the whole frame.
struct FrameWriter {
    port::SocketHandle socket;
    Deadline deadline;

    int all(const void *data, int count) const { return sendAll(socket, data, count, deadline); }
    int pieces(std::span<port::SendPiece> pieces) const { return sendAllPieces(socket, pieces, deadline); }
    int frame(const void *payload, int count, std::uint16_t code, std::int32_t headerLength) const {
        return sendFrame(socket, payload, count, code, headerLength, deadline);
    }
};

class OutboundLane {
public:
    // The largest payload a queued frame carries (a text record).
    static constexpr int kShortPayloadBytes = 170;
    // Queued frames a terminal may have waiting at once.
    static constexpr int kQueuedFramesLimit = KQ_QUEUED_FRAMES_MAX;

    OutboundLane(port::SocketHandle socket, FrameTiming timing) : socket_(socket), timing_(timing) {}
    OutboundLane(const OutboundLane &) = delete;
    OutboundLane &operator=(const OutboundLane &) = delete;

    // Writes one frame of frameBytes bytes in all with write(FrameWriter&), waiting
    // for the frame on the wire to end, then the frames queued meanwhile. Returns
    // write's result; -1 (nothing written) once the connection has been given up.
    // A result of -1 means the frame went out incomplete: the connection is given up.
    template <class Write>
    int write(std::int64_t frameBytes, Write &&writeFrame) {
        int result;
        {
            std::lock_guard frame(frameLock_);
            if (failed()) return -1;
            FrameWriter out{socket_, Deadline::after(timing_.deadlineMs(frameBytes))};
            result = writeFrame(out);
            if (result == -1) {
                fail();
            } else {
                writeQueuedHeld();
            }
        }
        writeQueuedWhileFree();
        return result;
    }

    // Sends a frame of at most kShortPayloadBytes without ever waiting for another
    // frame: 7 + count once it is written or queued behind the frame on the wire;
    // -1 when the connection has been given up, its write failed, or the queue is
    // full; 0 when no memory for it could be had.
    int sendShort(std::uint16_t code, const void *payload, int count);

    // Gives the connection up: no further frame is written, queued frames are
    // dropped, and the connection thread is woken to take its exit steps.
    void fail();
    bool failed() const { return failed_.load(std::memory_order_acquire); }

    int queuedFrames() const { return queued_.load(std::memory_order_acquire); }

private:
    struct ShortFrame {
        std::uint8_t bytes[kHeaderBytes + kShortPayloadBytes];
        int count;
    };

    // With the frame lock held: writes every queued frame in order. False when a write failed.
    bool writeQueuedHeld();
    // After the frame lock was let go: frames queued since are written by whoever takes it next.
    void writeQueuedWhileFree();

    const port::SocketHandle socket_;
    const FrameTiming timing_;
    std::mutex frameLock_;       // held for the bytes of whole frames
    std::mutex queueLock_;       // held only to add or take queued frames
    std::vector<ShortFrame> queue_;
    std::atomic<int> queued_{0};
    std::atomic<bool> failed_{false};
};

}  // namespace ks318
