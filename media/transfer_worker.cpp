#include "media/transfer_worker.h"

#include <algorithm>
#include <fstream>

#include "media/file_transfer.h"
#include "server/frame.h"
#include "port/failure.h"
#include "port/library_thread.h"
#include "server/outbound.h"
#include "server/server.h"

namespace ks318::media {
namespace {

void report(const TransferRequest &request, std::int32_t value) {
    if (request.report) request.report(value);
}

void runWorker(TransferRequest request) {
    report(request, 0);
    TransferOutcome outcome;
    try {
        outcome = streamFile(request);
    } catch (...) {
        // Nothing leaves a library thread: the end is reported like any other.
        outcome.state = TransferState::Failed;
        outcome.reason = "an internal error";
    }
    // The outcome is kept, and the terminal free for the next worker, before the
    // host can see the end.
    transferOutcomes().ended(request.terminal->id(), std::move(outcome));
    request.terminal->transferRunning.store(false, std::memory_order_release);
    report(request, -1);
    if (request.server != nullptr) request.server->threadEnded();
}

}  // namespace

TransferOutcome streamFile(const TransferRequest &request) {
    TransferOutcome outcome;
    outcome.state = TransferState::Failed;
    port::clearFailure();
    NameField field;
    if (!makeDestinationField(request.name.c_str(), field)) {
        outcome.reason = port::lastFailure();
        return outcome;
    }
    // The file's size sets the frame's deadline, so it is opened first; the gate
    // is then held from the header to the last piece, so no other frame comes
    // between them.
    std::ifstream file;
    std::uint32_t size = 0;
    if (!openLocalFile(file, request.path.c_str(), size)) {
        outcome.reason = port::lastFailure();
        return outcome;
    }
    outcome.size = size;
    const int result = sendUnderGate(*request.terminal, request.gateLimitMs, fileFrameBytes(size), [&](const FrameWriter &out) -> int {
        if (sendFileHead(out, field, size) < 0) return -1;

        char piece[kFilePieceBytes];
        std::uint32_t remaining = size;
        while (remaining > 0) {
            const auto count = static_cast<int>(std::min<std::uint32_t>(remaining, kFilePieceBytes));
            file.read(piece, count);
            if (file.gcount() != count) {
                port::noteFailureFormat("%s shrank while it was sent", request.path.c_str());
                return -1;
            }
            if (out.all(piece, count) != count) return -1;
            remaining -= static_cast<std::uint32_t>(count);
            outcome.sent += static_cast<std::uint32_t>(count);
            const double percent = 100.0 - static_cast<double>(remaining) * 100.0 / static_cast<double>(size);
            report(request, static_cast<std::int32_t>(percent));
        }
        return 1;
    });
    if (result == 1) {
        outcome.state = TransferState::Whole;
    } else {
        outcome.reason = port::lastFailure();
        if (outcome.reason.empty()) outcome.reason = "the file could not be sent whole";
    }
    return outcome;
}

bool startTransferWorker(TransferRequest request) {
    if (!request.terminal) return false;
    const TerminalRef terminal = request.terminal;  // outlives a thread start that fails
    bool idle = false;
    if (!terminal->transferRunning.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) return false;
    // The progress reads 0, and the outcome running, from the moment the worker is accepted.
    transferOutcomes().started(terminal->id());
    report(request, 0);
    const auto reportEnd = request.report;
    Server *server = request.server;
    if (server != nullptr) server->threadStarted();
    bool started = false;
    try {
        started = port::startLibraryThread([request = std::move(request)]() mutable { runWorker(std::move(request)); });
    } catch (...) {
    }
    if (!started) {
        transferOutcomes().ended(terminal->id(), TransferOutcome{TransferState::Failed, 0, 0,
                                                                 "no thread could be started for the transfer"});
        port::noteFailure("no thread could be started for the transfer");
        terminal->transferRunning.store(false, std::memory_order_release);
        if (reportEnd) reportEnd(-1);
        if (server != nullptr) server->threadEnded();
        return false;
    }
    return true;
}

}  // namespace ks318::media
