#include "media/transfer_worker.h"

#include <algorithm>
#include <fstream>

#include "media/file_transfer.h"
#include "server/frame.h"
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
    try {
        streamFile(request);  // the outcome is told by the progress alone: 100 only when whole
    } catch (...) {
        // Nothing leaves a library thread: the end is reported like any other.
    }
    // The terminal is free for the next worker before the host can see the end.
    request.terminal->transferRunning.store(false, std::memory_order_release);
    report(request, -1);
    if (request.server != nullptr) request.server->threadEnded();
}

}  // namespace

std::int32_t streamFile(const TransferRequest &request) {
    NameField field;
    if (!makeNameField(request.name.c_str(), field)) return 0;
    // The file's size sets the frame's deadline, so it is opened first; the gate
    // is then held from the header to the last piece, so no other frame comes
    // between them.
    std::ifstream file(request.path, std::ios::binary);
    if (!file) return 0;
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    if (end < 0 || end > static_cast<std::streamoff>(kLargestFile)) return 0;
    file.seekg(0, std::ios::beg);
    const auto size = static_cast<std::uint32_t>(end);
    return sendUnderGate(*request.terminal, request.gateLimitMs, fileFrameBytes(size), [&](const FrameWriter &out) -> int {
        if (sendFileHead(out, field, size) < 0) return -1;

        char piece[kFilePieceBytes];
        std::uint32_t remaining = size;
        while (remaining > 0) {
            const auto count = static_cast<int>(std::min<std::uint32_t>(remaining, kFilePieceBytes));
            file.read(piece, count);
            if (file.gcount() != count) return -1;  // the file shrank while it was sent
            if (out.all(piece, count) != count) return -1;
            remaining -= static_cast<std::uint32_t>(count);
            const double percent = 100.0 - static_cast<double>(remaining) * 100.0 / static_cast<double>(size);
            report(request, static_cast<std::int32_t>(percent));
        }
        return static_cast<int>(size);
    });
}

bool startTransferWorker(TransferRequest request) {
    if (!request.terminal) return false;
    const TerminalRef terminal = request.terminal;  // outlives a thread start that fails
    bool idle = false;
    if (!terminal->transferRunning.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) return false;
    // The progress reads 0 from the moment the worker is accepted.
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
        terminal->transferRunning.store(false, std::memory_order_release);
        if (reportEnd) reportEnd(-1);
        if (server != nullptr) server->threadEnded();
        return false;
    }
    return true;
}

}  // namespace ks318::media
