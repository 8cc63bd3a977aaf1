// The fixed numbers of the server. The exports always use the defaults; the core
// takes them as parameters so that tests can run servers on free ports with short limits.
#pragma once

namespace ks318 {

struct ServerLimits {
    int receiveLimitMs = 15000;   // silence before a probe; time to complete a header or payload
    int sendGateLimitMs = 10000;  // how long a sender waits for a busy send gate
    int sendStallLimitMs = 15000; // a send without progress for this long fails (a peer that never reads)
    int stopGraceMs = 400;        // how long a stop lets connection threads end before clearing the table
    int stopWaitMs = 5000;        // how long a stop waits for the last disconnect notifications
    int capacity = 1024;          // terminals in the table
    int backlog = 10;             // pending connections of the listening socket
};

inline constexpr int kDefaultPort = 16510;

}  // namespace ks318
