#include "tools/shop/file_transfers.h"

#include <atomic>
#include <chrono>
#include <string>

#include "ks318.h"
#include "tools/shop/address_by_id.h"

namespace ks318::web {
namespace {

std::int32_t readProgress(std::int32_t &word) { return std::atomic_ref<std::int32_t>(word).load(); }

}  // namespace

FileTransfers::FileTransfers(EventHub &events)
    : events_(events), watcher_([this] { watch(); }) {}

FileTransfers::~FileTransfers() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    watcher_.join();
}

std::int32_t FileTransfers::start(std::uint64_t actionId, EventTerminal terminal, std::shared_ptr<TerminalRecord> record,
                                  std::shared_ptr<const Upload> upload, const std::string &name, std::string &reason) {
    AddressById byId;
    std::lock_guard lock(mutex_);
    Transfer &transfer = running_.emplace_back();
    transfer.actionId = actionId;
    transfer.terminalId = terminal.id;
    transfer.record = std::move(record);
    transfer.upload = upload;
    const std::int32_t result =
        kq_sendfileStatus(terminal.id, upload->path.c_str(), name.c_str(), transfer.progress.get());
    reason = kq_lastfailure();
    // Refused: the word was never handed over (or already reads -1); nothing to watch.
    if (result != 1) running_.pop_back();
    else
        events_.publish("action", terminal,
                        {{"id", actionId}, {"action", "file"}, {"status", "sending"}, {"result", 1}, {"progress", 0}});
    changed_.notify_all();
    return result;
}

void FileTransfers::watch() {
    std::unique_lock lock(mutex_);
    std::chrono::steady_clock::time_point giveUp{};
    for (;;) {
        for (auto it = running_.begin(); it != running_.end();) {
            Transfer &transfer = *it;
            const std::int32_t now = readProgress(*transfer.progress);
            const EventTerminal terminal{kq_terminalnumber(transfer.terminalId), transfer.terminalId};
            if (now < 0) {
                // The word tells the end; the library keeps the outcome, by id, even
                // once the terminal has gone.
                std::uint32_t sent = 0, size = 0;
                std::int32_t outcome;
                std::string reason;
                {
                    AddressById byId;
                    outcome = kq_transferoutcome(transfer.terminalId, &sent, &size);
                    reason = kq_lastfailure();
                }
                const bool whole = outcome == KQ_TRANSFER_WHOLE;
                const int progress = whole ? 100 : size > 0 ? static_cast<int>(std::uint64_t{sent} * 100 / size) : 0;
                events_.publish("action", terminal,
                                {{"id", transfer.actionId}, {"action", "file"}, {"status", whole ? "sent" : "failed"},
                                 {"result", whole ? 1 : -1}, {"progress", progress}, {"sent", sent}, {"size", size},
                                 {"reason", whole ? std::string() : reason}});
                it = running_.erase(it);
                continue;
            }
            if (now != transfer.lastSeen) {
                transfer.lastSeen = now;
                events_.publish("action", terminal,
                                {{"id", transfer.actionId}, {"action", "file"}, {"status", "sending"},
                                 {"result", 1}, {"progress", now}});
            }
            ++it;
        }
        // Past the server's stop every worker has written its end. One that the stop
        // gave up on may still write: its word is left to it rather than freed.
        if (stopping_ && running_.empty()) return;
        if (stopping_ && giveUp == std::chrono::steady_clock::time_point{})
            giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        if (stopping_ && std::chrono::steady_clock::now() >= giveUp) {
            for (Transfer &transfer : running_) (void)transfer.progress.release();
            running_.clear();
            return;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(running_.empty() ? 1000 : 100));
    }
}

}  // namespace ks318::web
