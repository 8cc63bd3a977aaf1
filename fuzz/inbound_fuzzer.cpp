// Feeds arbitrary byte streams to a connection thread as a terminal would: the
// real handshake, reading loop and inbound dispatch, over a socket pair.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "port/socket.h"
#include "server/connection.h"
#include "server/server.h"

namespace {

ks318::Server &fuzzServer() {
    static ks318::Server *server = [] {
        ks318::ServerLimits limits;
        limits.receiveLimitMs = 20;  // a stream that stops short ends quickly
        limits.sendGateLimitMs = 20;
        limits.outbound.allowanceMs = 200;
        return new ks318::Server(limits);
    }();
    return *server;
}

// The identification answer a good terminal gives first.
constexpr std::uint8_t kIdentification[] = {0x02, 20, 0, 4, 0, 0, 0, 32, 0x01, 0x40, 0};

void writeAll(ks318::port::SocketHandle socket, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        int sent = ks318::port::sendSome(socket, data, static_cast<int>(size));
        if (sent <= 0) return;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
}

// The stream ends as a terminal that goes: the connection reads its end. Only
// the sending side is shut: frames the connection sends meanwhile (21 and 27,
// probes) still go out, or its handshake and every frame after it would fail
// on a race with the writer.
void endStream(ks318::port::SocketHandle socket) { ks318::port::shutdownSending(socket); }

// The terminal's side: one thread for the whole run, handed each input's stream.
// A thread per input would grow the process by about 200 bytes an input under
// ASan, which keeps a record of every thread that has ever run (docs/RELIABILITY.md).
class TerminalWriter {
public:
    // Writes the stream to `socket` on the writer's thread, then ends it.
    void begin(ks318::port::SocketHandle socket, bool identified, const std::uint8_t *data, std::size_t size) {
        std::lock_guard lock(mutex_);
        job_ = Job{socket, identified, data, size};
        pending_ = true;
        changed_.notify_all();
    }
    // Returns once the stream of the last begin() is written.
    void finish() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pending_; });
    }

private:
    struct Job {
        ks318::port::SocketHandle socket;
        bool identified;
        const std::uint8_t *data;
        std::size_t size;
    };

    void serve() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return pending_; });
                job = job_;
            }
            if (job.identified) writeAll(job.socket, kIdentification, sizeof kIdentification);
            writeAll(job.socket, job.data, job.size);
            endStream(job.socket);
            std::lock_guard lock(mutex_);
            pending_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false;
    Job job_{};
    std::thread thread_{[this] { serve(); }};  // last: starts once the rest is built
};

// Kept for the process's life: the thread waits for the next input until exit.
TerminalWriter &terminalWriter() {
    static TerminalWriter *writer = new TerminalWriter;
    return *writer;
}

}  // namespace

// The first byte chooses whether the stream follows a valid handshake; the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const bool identified = (data[0] & 1) == 0;
    ++data;
    --size;

    ks318::port::SocketHandle serverEnd, terminalEnd;
    if (!ks318::port::socketPair(serverEnd, terminalEnd)) return 0;
    ks318::Server &server = fuzzServer();
    server.keys().reset();
    auto terminal = std::make_shared<ks318::TTerminal>(serverEnd, 0x0100007F, server.limits().outbound);
    // As an accepted connection: admitted, and numbered by its own handshake.
    if (!server.terminals().admit(terminal, server.limits().displaceAfterMs)) {
        ks318::port::closeSocket(terminalEnd);  // the record closes the other end
        return 0;
    }

    TerminalWriter &writer = terminalWriter();
    writer.begin(terminalEnd, identified, data, size);
    server.threadStarted();
    ks318::runConnection(server, terminal);
    writer.finish();
    server.terminals().clear();
    terminal.reset();
    ks318::port::closeSocket(terminalEnd);
    return 0;
}
