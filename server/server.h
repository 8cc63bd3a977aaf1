// The server: listening socket and accept thread, the terminal table, the key
// buffer, the host notifications, and start and stop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "port/socket.h"
#include "server/answer_budget.h"
#include "server/limits.h"
#include "server/notifications.h"
#include "server/stores.h"
#include "server/terminal_table.h"

namespace ks318 {

class Server {
public:
    explicit Server(ServerLimits limits = {});
    // Stops the server and waits for every connection thread to end.
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // 1 when listening, 0 when the start failed (also when this server already listens).
    int start(void *window, std::uint32_t connectMessage, std::uint32_t dataMessage,
              const char *bindAddress, int port);
    // Stops listening, drops every terminal and waits, for at most about
    // stopGraceMs + stopWaitMs, until every connection thread and transfer worker
    // has ended (their disconnect notifications delivered). No notification
    // reaches the host once it has returned. 0, or -1 when no start was made.
    int finish();
    // The port listened on; 0 while stopped.
    int port() const { return port_.load(); }

    TerminalTable &terminals() { return table_; }
    KeyBuffer &keys() { return keys_; }
    Notifications &notifications() { return notifications_; }
    AnswerBudget &heldAnswers() { return heldAnswers_; }
    const ServerLimits &limits() const { return limits_; }

    // The directory captured by InitKQ318; empty until then.
    std::string baseDir() const;
    void setBaseDir(std::string directory);

    // Bookkeeping of the threads a stop waits for: connection threads
    // (server/connection.cpp) and transfer workers (media/transfer_worker.cpp).
    void threadStarted();
    void threadEnded();

private:
    void acceptLoop(port::SocketHandle listener);
    void serveNewConnection(port::SocketHandle socket, std::uint32_t peerAddress);
    // Waits until at most `allowed` counted threads run, or the deadline passes.
    void waitForThreads(int allowed, std::chrono::steady_clock::time_point deadline);

    const ServerLimits limits_;
    AnswerBudget heldAnswers_;  // before the table: records give their shares back as they go
    TerminalTable table_;
    KeyBuffer keys_;
    Notifications notifications_;

    std::mutex lifecycle_;  // one start or stop at a time
    port::SocketHandle listenSocket_ = port::kNoSocket;
    std::thread acceptThread_;
    std::atomic<int> port_{0};

    std::mutex threadsMutex_;
    std::condition_variable threadsChanged_;
    int liveThreads_ = 0;

    mutable std::mutex baseDirMutex_;
    std::string baseDir_;
};

// The server behind the exports. It lives as long as the process.
Server &globalServer();

}  // namespace ks318
