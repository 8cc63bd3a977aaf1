#include "media/file_reception.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "media/file_names.h"
#include "media/media_list.h"
#include "media/reception_lock.h"
#include "server/bytes.h"
#include "server/inbound_stream.h"
#include "server/server.h"
#include "server/terminal.h"

namespace ks318::media {
namespace {

// Memory for contents is taken as they arrive, never more than twice what has
// arrived (and this much at first), so a terminal cannot make the host set
// aside what it only announces.
constexpr std::size_t kFirstReservation = 64 * 1024;

// Hands `count` bytes to take(bytes, n) in pieces as they arrive, until all have
// arrived, the connection fails, or limitMs pass without a byte. True when all arrived.
template <class Take>
bool receiveProgressing(InboundStream &stream, std::int64_t count, int limitMs, Take &&take) {
    while (count > 0) {
        const std::uint8_t *piece = nullptr;
        const int wanted = static_cast<int>(std::min<std::int64_t>(count, InboundStream::kCapacity));
        const int received = stream.receivePiece(piece, wanted, limitMs);
        if (received <= 0) return false;  // nothing is taken from a failed receive
        take(piece, received);
        count -= received;
    }
    return true;
}

bool drain(InboundStream &stream, std::int64_t count, int limitMs) {
    return receiveProgressing(stream, count, limitMs, [](const std::uint8_t *, int) {});
}

// Receives the contents into `bytes`. When memory runs out, the rest is still
// read and dropped, and the result is false.
bool receiveContents(InboundStream &stream, std::int64_t count, int limitMs, std::vector<std::uint8_t> &bytes) {
    const auto announced = static_cast<std::size_t>(count);
    bool haveMemory = true;
    const bool whole = receiveProgressing(stream, count, limitMs, [&](const std::uint8_t *piece, int received) {
        if (!haveMemory) return;
        const std::size_t needed = bytes.size() + static_cast<std::size_t>(received);
        try {
            if (needed > bytes.capacity())
                bytes.reserve(std::min(announced, std::max({needed, bytes.capacity() * 2, kFirstReservation})));
            bytes.insert(bytes.end(), piece, piece + received);
        } catch (const std::bad_alloc &) {
            haveMemory = false;
            std::vector<std::uint8_t>().swap(bytes);
        }
    });
    return whole && haveMemory;
}

bool fileWaiting(TTerminal &terminal) {
    ReceptionGuard guard(terminal);
    return terminal.pendingFile.data.has_value();
}

void setPending(TTerminal &terminal, const char *name, std::int32_t size,
                std::optional<std::vector<std::uint8_t>> data) {
    PendingFile &pending = terminal.pendingFile;
    std::memcpy(pending.name, name, sizeof pending.name);
    pending.size = size;
    pending.data = std::move(data);
}

// The reception proper; the caller holds the send gate and the reception lock.
int receiveHeld(Server &server, TTerminal &terminal, InboundStream &stream, std::int32_t length) {
    const int limitMs = server.limits().receiveLimitMs;
    std::uint8_t head[kFileAnswerHeadBytes];
    int filled = 0;
    const auto keep = [&](const std::uint8_t *piece, int count) {
        std::memcpy(head + filled, piece, static_cast<std::size_t>(count));
        filled += count;
    };
    if (!receiveProgressing(stream, kFileAnswerHeadBytes, limitMs, keep)) return kFileRefused;

    char name[PendingFile::kNameBytes] = {};  // at most 127 characters and the zero
    std::memcpy(name, head, strnlen(reinterpret_cast<const char *>(head), sizeof name - 1));
    const std::int32_t size = length - kFileAnswerHeadBytes;

    if (loadLE32(head + kNameFieldBytes) == 0) {
        // An answer without a file carries nothing to take; bytes it has anyway
        // are dropped and not claimed as the file's size.
        setPending(terminal, name, 0, std::nullopt);
        drain(stream, size, limitMs);
        return kNoFile;
    }

    std::vector<std::uint8_t> bytes;
    if (!receiveContents(stream, size, limitMs, bytes)) {
        // A file that did not arrive whole is not handed over as if it were.
        setPending(terminal, name, 0, std::nullopt);
        return kFileRefused;
    }
    if (std::strcmp(name, kMediaListName) == 0) {
        const bool written = storeMediaList(mediaProfilePath(server.baseDir()), bytes.data(), bytes.size());
        setPending(terminal, name, size, std::nullopt);
        terminal.events.push(kCodeFileAnswer, written ? 1 : 0);
        return kFileReceived;
    }
    setPending(terminal, name, size, std::move(bytes));
    return kFileReceived;
}

}  // namespace

int receiveFileAnswer(Server &server, TTerminal &terminal, InboundStream &stream, std::int32_t length) {
    const ServerLimits &limits = server.limits();
    const bool acceptable = length >= kFileAnswerHeadBytes && !fileWaiting(terminal);
    // The send gate first, then the reception lock: the order every holder of both keeps.
    if (!acceptable || !terminal.sendGate.take(limits.sendGateLimitMs)) {
        drain(stream, std::max<std::int32_t>(length, 0), limits.receiveLimitMs);
        return kFileRefused;
    }
    int result;
    {
        ReceptionGuard guard(terminal);
        result = receiveHeld(server, terminal, stream, length);
    }
    terminal.sendGate.release();
    return result;
}

}  // namespace ks318::media
