#include "server/outbound_lane.h"

#include <cstring>
#include <new>

namespace ks318 {

int OutboundLane::sendShort(std::uint16_t code, const void *payload, int count) {
    if (count < 0 || count > kShortPayloadBytes || (count > 0 && payload == nullptr)) return 0;
    if (failed()) return -1;
    ShortFrame frame;
    encodeHeader(frame.bytes, code, count);
    if (count > 0) std::memcpy(frame.bytes + kHeaderBytes, payload, static_cast<std::size_t>(count));
    frame.count = kHeaderBytes + count;
    {
        std::lock_guard lock(queueLock_);
        if (static_cast<int>(queue_.size()) >= kQueuedFramesLimit) return -1;
        try {
            queue_.push_back(frame);
        } catch (const std::bad_alloc &) {
            return 0;
        }
        queued_.store(static_cast<int>(queue_.size()), std::memory_order_release);
    }
    // Queued first, then written by this thread when no frame is on the wire;
    // otherwise the frame's sender writes it when its frame ends.
    writeQueuedWhileFree();
    return failed() ? -1 : frame.count;
}

void OutboundLane::fail() {
    failed_.store(true, std::memory_order_release);
    port::shutdownSocket(socket_);
    std::lock_guard lock(queueLock_);
    std::vector<ShortFrame>().swap(queue_);
    queued_.store(0, std::memory_order_release);
}

bool OutboundLane::writeQueuedHeld() {
    while (queuedFrames() > 0 && !failed()) {
        std::vector<ShortFrame> taken;
        {
            std::lock_guard lock(queueLock_);
            taken.swap(queue_);
            queued_.store(0, std::memory_order_release);
        }
        // Everything queued leaves in as few send calls as the socket takes.
        std::vector<port::SendPiece> pieces;
        std::int64_t bytes = 0;
        try {
            pieces.reserve(taken.size());
        } catch (const std::bad_alloc &) {
            fail();
            return false;
        }
        for (const ShortFrame &frame : taken) {
            pieces.push_back({frame.bytes, frame.count});
            bytes += frame.count;
        }
        if (sendAllPieces(socket_, pieces, Deadline::after(timing_.deadlineMs(bytes))) < 0) {
            fail();
            return false;
        }
    }
    return !failed();
}

void OutboundLane::writeQueuedWhileFree() {
    // Whoever lets the frame lock go looks again: a frame queued while the lock
    // was held, after its holder's last look, is never left behind.
    while (queuedFrames() > 0 && frameLock_.try_lock()) {
        writeQueuedHeld();
        frameLock_.unlock();
    }
}

}  // namespace ks318
