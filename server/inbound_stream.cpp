#include "server/inbound_stream.h"

#include <algorithm>
#include <cstring>

#include "port/clock.h"
#include "server/frame.h"

namespace ks318 {
namespace {

int remainingMs(std::uint64_t start, int limitMs) {
    const std::uint64_t spent = port::tickMs() - start;
    return spent >= static_cast<std::uint64_t>(limitMs) ? 0 : limitMs - static_cast<int>(spent);
}

}  // namespace

InboundStream::Fill InboundStream::fill(int waitMs) {
    if (start_ == end_) {
        start_ = end_ = 0;
    } else if (start_ > 0) {
        // Only a part of one header or payload is ever left here: a few bytes to move.
        std::memmove(bytes_, bytes_ + start_, static_cast<std::size_t>(end_ - start_));
        end_ -= start_;
        start_ = 0;
    }
    // What has already arrived is taken without a wait, so a busy terminal costs
    // one call per buffer.
    int received = port::receiveWaiting(socket_, bytes_ + end_, kCapacity - end_);
    if (received == port::kNothingWaiting) {
        const int ready = port::waitReadable(socket_, waitMs);
        if (ready == 0) return Fill::TimedOut;
        if (ready < 0) return Fill::Gone;
        received = port::receiveSome(socket_, bytes_ + end_, kCapacity - end_);
    }
    if (received <= 0) return Fill::Gone;
    end_ += received;
    return Fill::Arrived;
}

InboundStream::Fill InboundStream::fillTo(int wanted, std::uint64_t &start, int limitMs) {
    wanted = std::min(wanted, kCapacity);
    if (start == 0) start = port::tickMs();
    while (buffered() < wanted) {
        const int left = remainingMs(start, limitMs);
        if (left <= 0) return Fill::TimedOut;
        const Fill result = fill(std::min(left, stallLimitMs_));
        if (result != Fill::Arrived) return result;
    }
    return Fill::Arrived;
}

int InboundStream::receiveHeaderArriving(std::int32_t &length, int limitMs) {
    if (buffered() == 0) {
        const Fill first = fill(limitMs);
        if (first != Fill::Arrived) return first == Fill::TimedOut ? kReceiveSilent : kReceiveGone;
    }
    if (buffered() < kHeaderBytes) {
        std::uint64_t start = 0;
        const Fill rest = fillTo(kHeaderBytes, start, limitMs);
        if (rest != Fill::Arrived) {
            // Whatever follows the piece of a header is not the start of a frame.
            start_ = end_;
            broken_ = true;
            return kReceiveGone;
        }
    }
    return decodeHeader(take(kHeaderBytes), length);
}

int InboundStream::receiveFullyArriving(void *buffer, int count, int limitMs) {
    auto *out = static_cast<std::uint8_t *>(buffer);
    std::uint64_t start = 0;
    int done = 0;
    while (done < count) {
        if (buffered() == 0 && fillTo(1, start, limitMs) != Fill::Arrived) break;
        const int piece = std::min(buffered(), count - done);
        std::memcpy(out + done, bytes_ + start_, static_cast<std::size_t>(piece));
        start_ += piece;
        done += piece;
    }
    if (done < count) broken_ = true;
    return done;
}

bool InboundStream::discard(std::int64_t count, int limitMs) {
    std::uint64_t start = 0;
    while (count > 0) {
        if (buffered() == 0 && fillTo(1, start, limitMs) != Fill::Arrived) {
            broken_ = true;
            return false;
        }
        const int piece = static_cast<int>(std::min<std::int64_t>(buffered(), count));
        start_ += piece;
        count -= piece;
    }
    return true;
}

int InboundStream::receivePiece(const std::uint8_t *&bytes, int count, int limitMs) {
    if (count <= 0) return 0;
    if (buffered() == 0 && fill(limitMs) != Fill::Arrived) return 0;
    const int piece = std::min(buffered(), count);
    bytes = bytes_ + start_;
    start_ += piece;
    return piece;
}

}  // namespace ks318
