#include "server/frame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "server/bytes.h"

namespace ks318 {
namespace {

// Frames up to this size are built on the stack; larger first parts are rare.
constexpr int kStackFrameBytes = 1024;

}  // namespace

void encodeHeader(std::uint8_t *out, std::uint16_t code, std::int32_t length) {
    out[0] = kFrameStart;
    storeLE16(out + 1, code);
    storeLE32(out + 3, static_cast<std::uint32_t>(length));
}

int sendAll(port::SocketHandle socket, const void *data, int count, Deadline deadline) {
    if (count <= 0) return 0;
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    int done = 0;
    while (done < count) {
        int sent = port::sendSomeWithin(socket, bytes + done, count - done, deadline.remainingMs());
        if (sent < 0) return -1;
        done += sent;
    }
    return count;
}

int sendAllPieces(port::SocketHandle socket, std::span<port::SendPiece> pieces, Deadline deadline) {
    std::int64_t total = 0;
    for (const port::SendPiece &piece : pieces) total += std::max(piece.count, 0);
    if (total > INT32_MAX) return -1;
    std::size_t first = 0;
    while (first < pieces.size()) {
        if (pieces[first].count <= 0) {
            ++first;
            continue;
        }
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - first, port::kMaxSendPieces));
        int sent = port::sendSomeGatheredWithin(socket, pieces.data() + first, count, deadline.remainingMs());
        if (sent < 0) return -1;
        // Skip what went out whole; the piece cut short goes on from where it stopped.
        while (sent > 0 && first < pieces.size()) {
            port::SendPiece &piece = pieces[first];
            const int taken = std::min(sent, std::max(piece.count, 0));
            piece.data = static_cast<const std::uint8_t *>(piece.data) + taken;
            piece.count -= taken;
            sent -= taken;
            if (piece.count <= 0) ++first;
        }
    }
    return static_cast<int>(total);
}

int sendFrame(port::SocketHandle socket, const void *payload, int count, std::uint16_t code,
              std::int32_t headerLength, Deadline deadline) {
    count = std::max(count, 0);
    if (count > INT32_MAX - kHeaderBytes) return 0;
    std::uint8_t onStack[kStackFrameBytes];
    std::unique_ptr<std::uint8_t[]> onHeap;
    std::uint8_t *buffer = onStack;
    if (kHeaderBytes + count > kStackFrameBytes) {
        onHeap.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(kHeaderBytes) + count]);
        if (!onHeap) return 0;
        buffer = onHeap.get();
    }
    encodeHeader(buffer, code, headerLength);
    if (count > 0) std::memcpy(buffer + kHeaderBytes, payload, static_cast<std::size_t>(count));
    return sendAll(socket, buffer, kHeaderBytes + count, deadline) < 0 ? -1 : kHeaderBytes + count;
}

}  // namespace ks318
