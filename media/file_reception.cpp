#include "media/file_reception.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
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

// How an answer must arrive: never silentMs without a byte, and whole by the deadline.
struct Pace {
    int silentMs;
    Deadline deadline;
};

// Hands `count` bytes to take(bytes, n) in pieces as they arrive, until all have
// arrived, the connection fails, or the pace is not kept. True when all arrived.
template <class Take>
bool receiveProgressing(InboundStream &stream, std::int64_t count, const Pace &pace, Take &&take) {
    while (count > 0) {
        const int waitMs = std::min(pace.silentMs, pace.deadline.remainingMs());
        if (waitMs <= 0) return false;
        const std::uint8_t *piece = nullptr;
        const int wanted = static_cast<int>(std::min<std::int64_t>(count, InboundStream::kCapacity));
        const int received = stream.receivePiece(piece, wanted, waitMs);
        if (received <= 0) return false;  // nothing is taken from a failed receive
        take(piece, received);
        count -= received;
    }
    return true;
}

bool drain(InboundStream &stream, std::int64_t count, const Pace &pace) {
    return receiveProgressing(stream, count, pace, [](const std::uint8_t *, int) {});
}

enum class Contents { Whole, NoMemory, Cut };

// Receives the contents into `bytes`. When memory runs out, the rest is still
// read and dropped.
Contents receiveContents(InboundStream &stream, std::int64_t count, const Pace &pace,
                         std::vector<std::uint8_t> &bytes) {
    const auto announced = static_cast<std::size_t>(count);
    bool haveMemory = true;
    const bool whole = receiveProgressing(stream, count, pace, [&](const std::uint8_t *piece, int received) {
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
    if (!whole) return Contents::Cut;
    return haveMemory ? Contents::Whole : Contents::NoMemory;
}

bool fileWaiting(TTerminal &terminal) {
    ReceptionGuard guard(terminal);
    return terminal.pendingFile.data.has_value();
}

void setPending(TTerminal &terminal, const char *name, std::int32_t size,
                std::optional<std::vector<std::uint8_t>> data, BudgetShare share = {}) {
    PendingFile &pending = terminal.pendingFile;
    std::memcpy(pending.name, name, sizeof pending.name);
    pending.size = size;
    pending.data = std::move(data);
    pending.share = std::move(share);
}

// The answer's bytes were not all read: the next ones would be taken for
// headers, so the connection ends and the terminal reconnects in step.
int outOfStep(TTerminal &terminal) {
    terminal.shutdownConnection();
    return kFileRefused;
}

// The reception proper; the caller holds the send gate and the reception lock.
int receiveHeld(TTerminal &terminal, InboundStream &stream, std::int32_t length, const Pace &pace,
                Server &server) {
    std::uint8_t head[kFileAnswerHeadBytes];
    int filled = 0;
    const auto keep = [&](const std::uint8_t *piece, int count) {
        std::memcpy(head + filled, piece, static_cast<std::size_t>(count));
        filled += count;
    };
    if (!receiveProgressing(stream, kFileAnswerHeadBytes, pace, keep)) return outOfStep(terminal);

    char name[PendingFile::kNameBytes] = {};  // at most 127 characters and the zero
    std::memcpy(name, head, strnlen(reinterpret_cast<const char *>(head), sizeof name - 1));
    const std::int32_t size = length - kFileAnswerHeadBytes;

    if (loadLE32(head + kNameFieldBytes) == 0 || size > kLargestFileAnswer) {
        // An answer without a file carries nothing to take; bytes it has anyway
        // are dropped and not claimed as the file's size. A file larger than a
        // host is told to expect is read and dropped the same way.
        setPending(terminal, name, 0, std::nullopt);
        if (!drain(stream, size, pace)) return outOfStep(terminal);
        return size > kLargestFileAnswer ? kFileRefused : kNoFile;
    }

    // The file is kept only within the budget all terminals' waiting files share;
    // past it, it is read and dropped like one too large.
    BudgetShare share;
    if (!server.heldAnswers().take(size, share)) {
        setPending(terminal, name, 0, std::nullopt);
        if (!drain(stream, size, pace)) return outOfStep(terminal);
        return kFileRefused;
    }
    std::vector<std::uint8_t> bytes;
    const Contents contents = receiveContents(stream, size, pace, bytes);
    if (contents != Contents::Whole) {
        // A file that did not arrive whole is not handed over as if it were.
        setPending(terminal, name, 0, std::nullopt);
        return contents == Contents::Cut ? outOfStep(terminal) : kFileRefused;
    }
    if (std::strcmp(name, kMediaListName) == 0) {
        const bool written = storeMediaList(mediaProfilePath(server.baseDir()), bytes.data(), bytes.size());
        setPending(terminal, name, size, std::nullopt);
        terminal.events.push(kCodeFileAnswer, written ? 1 : 0);
        return kFileReceived;
    }
    setPending(terminal, name, size, std::move(bytes), std::move(share));
    return kFileReceived;
}

}  // namespace

int receiveFileAnswer(Server &server, TTerminal &terminal, InboundStream &stream, std::int32_t length) {
    const ServerLimits &limits = server.limits();
    // The whole answer, kept or dropped, must arrive within a deadline of what
    // may be kept of it, counted from when its reading starts, and never pause
    // for the receive limit.
    const std::int64_t mayKeep = std::clamp<std::int64_t>(std::int64_t{length} - kFileAnswerHeadBytes, 0, kLargestFileAnswer);
    const auto paceFromNow = [&] {
        return Pace{limits.receiveLimitMs, Deadline::after(limits.fileAnswer.deadlineMs(kFileAnswerHeadBytes + mayKeep))};
    };
    const bool acceptable = length >= kFileAnswerHeadBytes && !fileWaiting(terminal);
    // The send gate first, then the reception lock: the order every holder of both keeps.
    if (!acceptable || !terminal.sendGate.take(limits.sendGateLimitMs)) {
        if (!drain(stream, std::max<std::int32_t>(length, 0), paceFromNow())) return outOfStep(terminal);
        return kFileRefused;
    }
    int result;
    {
        ReceptionGuard guard(terminal);
        result = receiveHeld(terminal, stream, length, paceFromNow(), server);
    }
    terminal.sendGate.release();
    return result;
}

}  // namespace ks318::media
