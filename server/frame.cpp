#include "server/frame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "port/clock.h"
#include "server/bytes.h"

namespace ks318 {
namespace {

// Frames up to this size are built on the stack; larger first parts are rare.
constexpr int kStackFrameBytes = 1024;

int remainingMs(std::uint64_t start, int limitMs) {
    std::uint64_t spent = port::tickMs() - start;
    return spent >= static_cast<std::uint64_t>(limitMs) ? 0 : limitMs - static_cast<int>(spent);
}

// Reads until count bytes arrived, the peer closed or failed (result < count, `gone`
// set), or the deadline passed (result < count, `gone` clear).
int readUntil(port::SocketHandle socket, std::uint8_t *buffer, int count, std::uint64_t start,
              int limitMs, bool &gone) {
    int done = 0;
    gone = false;
    while (done < count) {
        int left = remainingMs(start, limitMs);
        if (left <= 0) break;
        int ready = port::waitReadable(socket, left);
        if (ready == 0) break;
        if (ready < 0) {
            gone = true;
            break;
        }
        int received = port::receiveSome(socket, buffer + done, count - done);
        if (received <= 0) {
            gone = true;
            break;
        }
        done += received;
    }
    return done;
}

}  // namespace

void encodeHeader(std::uint8_t *out, std::uint16_t code, std::int32_t length) {
    out[0] = kFrameStart;
    storeLE16(out + 1, code);
    storeLE32(out + 3, static_cast<std::uint32_t>(length));
}

int decodeHeader(const std::uint8_t *header, std::int32_t &length) {
    if (header[0] != kFrameStart) return kReceiveIgnored;
    int code = loadLE16(header + 1);
    if (code != 0) length = static_cast<std::int32_t>(loadLE32(header + 3));
    return code;
}

int receiveHeader(port::SocketHandle socket, std::int32_t &length, int limitMs) {
    if (port::waitReadable(socket, limitMs) <= 0) return kReceiveSilent;
    std::uint8_t header[kHeaderBytes] = {};
    int received = port::receiveSome(socket, header, kHeaderBytes);
    if (received <= 0) return kReceiveGone;
    if (received < kHeaderBytes) {
        bool gone = false;
        received += readUntil(socket, header + received, kHeaderBytes - received, port::tickMs(),
                              limitMs, gone);
        if (received < kHeaderBytes) return gone ? kReceiveGone : kReceiveSilent;
    }
    return decodeHeader(header, length);
}

int receiveFully(port::SocketHandle socket, void *buffer, int count, int limitMs) {
    if (count <= 0) return 0;
    bool gone = false;
    return readUntil(socket, static_cast<std::uint8_t *>(buffer), count, port::tickMs(), limitMs,
                     gone);
}

bool discardBytes(port::SocketHandle socket, std::int64_t count, int limitMs) {
    std::uint8_t sink[4096];
    const std::uint64_t start = port::tickMs();
    while (count > 0) {
        int piece = static_cast<int>(std::min<std::int64_t>(count, sizeof sink));
        bool gone = false;
        int received = readUntil(socket, sink, piece, start, limitMs, gone);
        count -= received;
        if (received < piece) return false;
    }
    return true;
}

int sendAll(port::SocketHandle socket, const void *data, int count) {
    if (count <= 0) return 0;
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    int done = 0;
    while (done < count) {
        int sent = port::sendSome(socket, bytes + done, count - done);
        if (sent < 0) return -1;
        done += sent;
    }
    return count;
}

int sendFrame(port::SocketHandle socket, const void *payload, int count, std::uint16_t code,
              std::int32_t headerLength) {
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
    return sendAll(socket, buffer, kHeaderBytes + count) < 0 ? -1 : kHeaderBytes + count;
}

}  // namespace ks318
