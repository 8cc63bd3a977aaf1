// File actions run on the library's transfer workers: each writes its progress
// into a word this program owns. A watcher thread reads the words and tells the
// streams ("action" events with the progress) until each worker has written its
// end (-1). The words and the uploads being read stay alive until then, also
// past the server's stop, which waits for every worker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/shop/event_hub.h"
#include "tools/shop/terminal_registry.h"
#include "tools/shop/uploads.h"

namespace ks318::web {

class FileTransfers {
public:
    explicit FileTransfers(EventHub &events);
    ~FileTransfers();  // call only after kq_finishserver: waits for the words to read -1

    // Starts kq_sendfileStatus for the terminal of `terminal.id`; its result, and the reason when it failed.
    std::int32_t start(std::uint64_t actionId, EventTerminal terminal, std::shared_ptr<TerminalRecord> record,
                       std::shared_ptr<const Upload> upload, const std::string &name, std::string &reason);

private:
    struct Transfer {
        std::uint64_t actionId = 0;
        std::int32_t terminalId = 0;
        std::shared_ptr<TerminalRecord> record;
        std::shared_ptr<const Upload> upload;
        std::unique_ptr<std::int32_t> progress = std::make_unique<std::int32_t>(0);  // written by the worker
        std::int32_t lastSeen = 0;
    };
    void watch();

    EventHub &events_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Transfer> running_;
    bool stopping_ = false;
    std::thread watcher_;
};

}  // namespace ks318::web
