// The transfer worker: a thread that streams a local file to one terminal in
// 1024-byte pieces and reports its progress as it goes. At most one runs per terminal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
    // empty file), -1 once the worker has ended, whatever the outcome. May be empty.
    std::function<void(std::int32_t)> report;
    // When given, the worker is among the threads this server's stop waits for.
    Server *server = nullptr;
};

// Starts a worker for the request's terminal and reports 0 before it returns;
// false when one already runs for that terminal (nothing is reported) or no
// thread could be had (then -1 is reported).
bool startTransferWorker(TransferRequest request);

// The worker's transfer, on the calling thread: opens the file, takes the send
// gate and sends the file whole, reporting after every piece. Returns the size
// sent; -2 when the gate stayed busy (nothing sent); 0 when the file cannot be
// opened or is too large for a frame; -1 when a write failed, the frame missed
// its deadline or the file could not be read to its end (the connection is then
// given up).
std::int32_t streamFile(const TransferRequest &request);

}  // namespace ks318::media
