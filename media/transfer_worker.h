// The transfer worker: a thread that streams a local file to one terminal in
// 1024-byte pieces and reports its progress as it goes. At most one runs per terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "media/transfer_outcomes.h"
#include "server/terminal_table.h"

namespace ks318 {
class Server;
}

namespace ks318::media {

// Everything a worker needs, owned by the worker.
struct TransferRequest {
    TerminalRef terminal;  // keeps the record alive for the whole transfer
    std::string name;      // destination name on the terminal (fits the name field)
    std::string path;      // local file
    int gateLimitMs = 10000;
    // Progress: 0 at the start, the percentage sent after every piece (not for an
    // empty file), -1 once the worker has ended, whatever the outcome (which
    // transferOutcomes() keeps by the terminal's id). May be empty.
    std::function<void(std::int32_t)> report;
    // When given, the worker is among the threads this server's stop waits for.
    Server *server = nullptr;
};

// Starts a worker for the request's terminal and reports 0 before it returns;
// false when one already runs for that terminal (nothing is reported) or no
// thread could be had (then -1 is reported).
bool startTransferWorker(TransferRequest request);

// The worker's transfer, on the calling thread: opens the file, takes the send
// gate and sends the file whole, reporting after every piece. Whole when every
// byte was written; otherwise Failed, with the reason: the name or the file
// refused, the gate busy (nothing sent), or a write failed, the frame missed its
// deadline or the file could not be read to its end (the connection is then
// given up).
TransferOutcome streamFile(const TransferRequest &request);

}  // namespace ks318::media
