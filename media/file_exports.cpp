// The exports of files and media configuration.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>

#include "api/export_conventions.h"
#include "api/terminal_addressing.h"
#include "ks318.h"
#include "media/file_names.h"
#include "media/file_request.h"
#include "media/file_transfer.h"
#include "media/media_config.h"
#include "media/media_list.h"
#include "media/transfer_outcomes.h"
#include "media/transfer_worker.h"
#include "port/clock.h"
#include "port/failure.h"
#include "server/server.h"

using ks318::TTerminal;
using ks318::api::atBoundary;
using ks318::api::ExportRule;
using ks318::api::onTerminal;
using ks318::api::Requires;
using ks318::api::sendGateLimitMs;
namespace media = ks318::media;

namespace {

// Paths handed to a transfer worker must fit in this many bytes with their zero.
constexpr std::size_t kWorkerPathBytes = 1024;

// The host polls its progress word while the worker writes it: every value is
// one aligned 32-bit store.
std::function<void(std::int32_t)> progressWord(std::int32_t *word) {
    if (word == nullptr) return {};
    return [word](std::int32_t value) { std::atomic_ref<std::int32_t>(*word).store(value, std::memory_order_release); };
}

bool aligned(const std::int32_t *word) {
    return reinterpret_cast<std::uintptr_t>(word) % std::atomic_ref<std::int32_t>::required_alignment == 0;
}

}  // namespace

extern "C" {

int32_t KQ_CALL kq_sendfileptr(int32_t terminal, const char *name, const char *data, uint32_t size) {
    return onTerminal(terminal, ExportRule{0}, [&](TTerminal &found) {
        return media::sendFileFromMemory(found, sendGateLimitMs(), name, data, size);
    });
}

int32_t KQ_CALL kq_sendfile(int32_t terminal, const char *path, const char *name) {
    return onTerminal(terminal, ExportRule{0}, [&](TTerminal &found) {
        return media::sendFileFromPath(found, sendGateLimitMs(), path, name);
    });
}

int32_t KQ_CALL kq_sendfileStatus(int32_t terminal, const char *path, const char *name, int32_t *progress) {
    return onTerminal(terminal, ExportRule{-1}, [&](TTerminal &found) -> std::int32_t {
        media::NameField field;
        if (!media::makeDestinationField(name, field)) return -1;
        if (path == nullptr) {
            ks318::port::noteFailure("no file path given");
            return -1;
        }
        if (strnlen(path, kWorkerPathBytes) >= kWorkerPathBytes) {
            ks318::port::noteFailureFormat("the path is %d characters or more; at most %d fit",
                                           static_cast<int>(kWorkerPathBytes), static_cast<int>(kWorkerPathBytes - 1));
            return -1;
        }
        if (progress != nullptr && !aligned(progress)) {
            ks318::port::noteFailure("the progress word is not aligned to 4 bytes");
            return -1;
        }
        media::TransferRequest request{found.shared_from_this(), name, path, sendGateLimitMs(),
                                       progressWord(progress), &ks318::globalServer()};
        if (!media::startTransferWorker(std::move(request))) {
            // (a thread that could not be started has noted its own reason first)
            ks318::port::noteFailure("a transfer already runs for this terminal");
            return -1;
        }
        ks318::port::sleepMs(10);  // lets the worker reach the send gate before the host sends more
        return 1;
    });
}

int32_t KQ_CALL kq_transferoutcome(int32_t terminal, uint32_t *bytesSent, uint32_t *fileSize) {
    return atBoundary(-1, [&]() -> std::int32_t {
        if (bytesSent != nullptr) *bytesSent = 0;
        if (fileSize != nullptr) *fileSize = 0;
        // By id, a terminal that has left is still asked about: its last
        // transfer may be the one its departure cut short.
        ks318::TerminalId id = 0;
        if (ks318::api::threadAddressing() == ks318::api::Addressing::ById) {
            id = terminal;
        } else if (const ks318::TerminalRef found = ks318::api::findNamed(ks318::globalServer().terminals(), terminal)) {
            id = found->id();
        }
        const auto outcome = id > 0 ? media::transferOutcomes().find(id) : std::nullopt;
        if (!outcome) {
            if (id > 0 || ks318::api::threadAddressing() == ks318::api::Addressing::ById) {
                ks318::port::noteFailureFormat("no transfer was started for %s",
                                               ks318::api::describeNamed(terminal).c_str());
                return KQ_TRANSFER_NONE;
            }
            ks318::port::noteFailureFormat("no %s", ks318::api::describeNamed(terminal).c_str());
            return -1;
        }
        if (bytesSent != nullptr) *bytesSent = outcome->sent;
        if (fileSize != nullptr) *fileSize = outcome->size;
        if (outcome->state == media::TransferState::Failed) ks318::port::noteFailure(outcome->reason);
        return static_cast<std::int32_t>(outcome->state);
    });
}

int32_t KQ_CALL kq_sendfontfile(int32_t terminal, const char *path) {
    return onTerminal(terminal, ExportRule{0}, [&](TTerminal &found) -> std::int32_t {
        if (path == nullptr) return 0;
        return media::sendFileFromPath(found, sendGateLimitMs(), path, media::fontDestination(path).c_str());
    });
}

int32_t KQ_CALL kq_reqfile(int32_t terminal, const char *name) {
    return onTerminal(terminal, ExportRule{0, Requires::Version32},
                      [&](TTerminal &found) { return media::requestFile(found, sendGateLimitMs(), name); });
}

int32_t KQ_CALL kq_getfile(int32_t terminal, char *name, int32_t *size, void *data) {
    return onTerminal(terminal, ExportRule{-1},
                      [&](TTerminal &found) { return media::collectPendingFile(found, name, size, data); });
}

int32_t KQ_CALL kq_savemedias(const void *entries, const char *path) {
    return atBoundary(-1, [&] { return media::saveMediaList(entries, path); });
}

int32_t KQ_CALL kq_sendmediaconf(int32_t terminal, const char *path) {
    return onTerminal(terminal, ExportRule{0}, [&](TTerminal &found) {
        return media::sendConfigurationFile(found, sendGateLimitMs(), path, media::kMediaConfName);
    });
}

int32_t KQ_CALL kq_sendpresencesensorconf(int32_t terminal, const char *path) {
    return onTerminal(terminal, ExportRule{0}, [&](TTerminal &found) {
        return media::sendConfigurationFile(found, sendGateLimitMs(), path, media::kPresenceSensorConfName);
    });
}

int32_t KQ_CALL kq_pedeallmedias(int32_t terminal) {
    return onTerminal(terminal, ExportRule{-1, Requires::Model320}, [&](TTerminal &found) {
        return media::requestFile(found, sendGateLimitMs(), media::kMediaListName);
    });
}

void KQ_CALL kq_getallmedias(int32_t terminal, void *out) {
    ks318::api::onTerminalQuietly(terminal, Requires::Model320, [&](TTerminal &) {
        if (out != nullptr) media::readFlatMediaList(media::mediaProfilePath(ks318::globalServer().baseDir()), out);
    });
}

}  // extern "C"
