#include "server/server.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "port/clock.h"
#include "port/failure.h"
#include "port/host_notify.h"
#include "port/library_thread.h"
#include "server/connection.h"

namespace ks318 {

Server::Server(ServerLimits limits) : limits_(limits), heldAnswers_(limits.heldAnswerBytes), table_(limits.capacity) {}

Server::~Server() {
    finish();
    // Connection threads and workers hold this server; none may outlive it.
    std::unique_lock lock(threadsMutex_);
    threadsChanged_.wait(lock, [&] { return liveThreads_ == 0; });
}

int Server::start(void *window, std::uint32_t connectMessage, std::uint32_t dataMessage,
                  const char *bindAddress, int port) {
    std::lock_guard lifecycle(lifecycle_);
    keys_.reset();
    notifications_.setMessages(connectMessage, dataMessage);
    port::socketsStartup();
    // A second start while listening fails like a second bind of the same port.
    if (listenSocket_ != port::kNoSocket) {
        port::noteFailure("a server already runs, on port " + std::to_string(port_.load()));
        port::socketsCleanup();
        return 0;
    }
    port::SocketHandle listener = port::listenTcp(bindAddress, port, limits_.backlog);
    if (listener == port::kNoSocket) {
        port::socketsCleanup();
        return 0;
    }
    notifications_.setTarget(window);
    listenSocket_ = listener;
    port_.store(port::localPort(listener));
    try {
        acceptThread_ = std::thread([this, listener] { acceptLoop(listener); });
    } catch (const std::system_error &) {
        port::noteFailure("no thread could be started to accept terminals");
        port::closeSocket(listener);
        listenSocket_ = port::kNoSocket;
        port_.store(0);
        port::socketsCleanup();
        return 0;
    }
    return 1;
}

int Server::finish() {
    std::lock_guard lifecycle(lifecycle_);
    if (listenSocket_ == port::kNoSocket) return port::socketsCleanup();

    // The accept thread's pending accept fails and the thread ends.
    port::shutdownSocket(listenSocket_);
    if (acceptThread_.get_id() == std::this_thread::get_id()) {
        acceptThread_.detach();  // stopped from a connect handler: the loop ends on its own
    } else if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    port::closeSocket(listenSocket_);
    listenSocket_ = port::kNoSocket;
    port_.store(0);

    // Wake every connection thread; each posts its disconnect and leaves the
    // table. Transfer workers find their sends failing and end too.
    for (const TerminalRef &terminal : table_.everyConnection()) terminal->shutdownConnection();
    // Stopped from inside a notification: its connection thread waits for the
    // handler, so the stop does not wait for that one.
    const int self = onConnectionThreadOf(*this) || port::handlingHostNotification() ? 1 : 0;
    const auto now = std::chrono::steady_clock::now();
    waitForThreads(self, now + std::chrono::milliseconds(limits_.stopGraceMs));
    table_.clear();
    // A host must not be called after it has been told the server stopped:
    // wait, bounded, for the last disconnect notifications, then close the way
    // to the host, waiting for what is still under way, all within one bound.
    const auto deadline = now + std::chrono::milliseconds(limits_.stopGraceMs + limits_.stopWaitMs);
    waitForThreads(self, deadline);
    departBeforeStopReturns(*this);
    notifications_.close(self, deadline);
    return port::socketsCleanup();
}

void Server::acceptLoop(port::SocketHandle listener) {
    for (;;) {
        std::uint32_t peerAddress = 0;
        port::SocketHandle socket = port::acceptTcp(listener, peerAddress);
        if (socket == port::kNoSocket) return;
        serveNewConnection(socket, peerAddress);
    }
}

void Server::serveNewConnection(port::SocketHandle socket, std::uint32_t peerAddress) {
    std::shared_ptr<TTerminal> terminal;
    try {
        terminal = std::make_shared<TTerminal>(socket, peerAddress, limits_.outbound);
        if (terminal->id() == 0) return;        // no id left to give: the record goes and closes the connection
        // Table full: the record goes now and closes the connection.
        if (!table_.admit(terminal, limits_.displaceAfterMs)) return;
    } catch (...) {
        // No memory for its record or its place: the connection is not served.
        if (!terminal) port::closeSocket(socket);
        return;
    }

    // The connection thread tells the host of the terminal once its handshake is
    // through or has failed, before anything it sends and before its departure.
    threadStarted();
    // The thread takes the only reference outside the table: once it has ended,
    // nothing else keeps the record (or its socket) alive.
    const TTerminal *record = terminal.get();
    bool started = false;
    try {
        started = port::startLibraryThread(
            [this, terminal = std::move(terminal)]() mutable { runConnection(*this, std::move(terminal)); });
    } catch (...) {
    }
    if (!started) {
        table_.remove(record);  // the table's reference was the last one; the host never heard of it
        threadEnded();
    }
}

void Server::threadStarted() {
    std::lock_guard lock(threadsMutex_);
    ++liveThreads_;
}

void Server::threadEnded() {
    std::lock_guard lock(threadsMutex_);
    --liveThreads_;
    threadsChanged_.notify_all();
}

// A host may stop the server on the thread that handles its notifications,
// while connection threads wait for it to handle one: the wait lets those
// notifications through, in slices.
void Server::waitForThreads(int allowed, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(threadsMutex_);
    for (;;) {
        const auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
        if (threadsChanged_.wait_until(lock, slice, [&] { return liveThreads_ <= allowed; })) return;
        if (std::chrono::steady_clock::now() >= deadline) return;
        lock.unlock();
        port::handleWaitingHostNotifications();
        lock.lock();
    }
}

std::string Server::baseDir() const {
    std::lock_guard lock(baseDirMutex_);
    return baseDir_;
}

void Server::setBaseDir(std::string directory) {
    std::lock_guard lock(baseDirMutex_);
    baseDir_ = std::move(directory);
}

Server &globalServer() {
    // Never destroyed: connection threads may still run while the process exits.
    static Server *server = new Server();
    return *server;
}

}  // namespace ks318
