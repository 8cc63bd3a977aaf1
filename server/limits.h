// The fixed numbers of the server. The exports always use the defaults; the core
// takes them as parameters so that tests can run servers on free ports with short limits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ks318.h"

namespace ks318 {

// How long a whole frame may take on the wire: a fixed allowance plus one
// second for every `bytesPerSecond` bytes, so a terminal must take what it is
// sent at no less than that rate. A terminal that does not is given up.
struct FrameTiming {
    int allowanceMs = 15000;
    int bytesPerSecond = 64 * 1024;

    std::int64_t deadlineMs(std::int64_t frameBytes) const {
        const std::int64_t rate = std::max(bytesPerSecond, 1);
        const std::int64_t forBytes = std::max<std::int64_t>(frameBytes, 0) * 1000 / rate;
        return std::min<std::int64_t>(allowanceMs + forBytes, std::numeric_limits<std::int32_t>::max());
    }
};

struct ServerLimits {
    int receiveLimitMs = 15000;   // silence before a probe; time to complete a header, and the longest
                                  // pause inside a header or payload (a payload has this plus 1 s per 64 KiB)
    int sendGateLimitMs = 10000;  // how long a sender waits for a busy send gate
    FrameTiming outbound{};       // every frame sent to a terminal: 15 s + 1 s per 64 KiB
    FrameTiming fileAnswer{30000, 64 * 1024};  // a file answer received: 30 s + 1 s per 64 KiB it may keep
    int stopGraceMs = 400;        // how long a stop lets connection threads end before clearing the table
    int stopWaitMs = 5000;        // how long a stop waits for the last disconnect notifications
    int capacity = 1024;          // terminals in the table, those in their handshake included
    std::int64_t heldAnswerBytes = KQ_HELD_FILES_MAX_BYTES;  // received files waiting for the host, all terminals together
    int displaceAfterMs = 1000;   // at the capacity, a connection this long in its handshake
                                  // gives its place to a new one
    int backlog = 1024;           // pending connections of the listening socket: a whole table
                                  // reconnecting at once (a host restart) waits there, none is lost
};

inline constexpr int kDefaultPort = 16510;

}  // namespace ks318
