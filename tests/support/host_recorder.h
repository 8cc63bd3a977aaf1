// A host for tests: a notification target that records every notification, and a
// server on a free loopback port with short limits that simulated terminals join.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ks318.h"
#include "server/server.h"
#include "sim/sim_terminal.h"
#include "tests/support/waits.h"

namespace ks318::test {

inline constexpr std::uint32_t kConnectMessage = 1025;
inline constexpr std::uint32_t kDataMessage = 1026;

struct Notification {
    bool posted;  // connect and disconnect are posted, data notifications sent
    std::uint32_t message;
    std::uint32_t wParam;
    std::uint32_t lParam;

    bool isConnect() const { return posted && message == kConnectMessage && (lParam & 0xFFFF) == 1; }
    bool isDisconnect() const { return posted && message == kConnectMessage && (lParam & 0xFFFF) == 0; }
    bool isData(std::uint32_t code) const { return !posted && message == kDataMessage && wParam == code; }
    std::uint32_t high() const { return lParam >> 16; }
    std::uint32_t low() const { return lParam & 0xFFFF; }
};

class HostWindow;

class HostRecorder {
public:
    using Predicate = std::function<bool(const Notification &)>;

    HostRecorder();
    ~HostRecorder();
    HostRecorder(const HostRecorder &) = delete;
    HostRecorder &operator=(const HostRecorder &) = delete;

    // What this host passes as `window` at start: a KqHostTarget, or on Windows
    // the handle of a window whose messages are recorded.
    void *target();

    std::vector<Notification> all() const;
    std::vector<Notification> matching(const Predicate &predicate) const;
    // Waits until `count` notifications match; true when they did in time.
    bool waitFor(const Predicate &predicate, int timeoutMs, std::size_t count = 1) const;
    void clear();

    // Runs inside every data notification, before it returns to the server.
    void onData(std::function<void(const Notification &)> handler);
    // Runs for every posted notification (connect, disconnect) as it arrives,
    // before it is recorded.
    void onPosted(std::function<void(const Notification &)> handler);

    // Delivery, by host_window_<platform>.cpp: a posted notification, or a sent
    // one, which returns once the data handler has run.
    void posted(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    void sent(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);

private:
    void record(const Notification &notification);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Notification> notifications_;
    std::function<void(const Notification &)> dataHandler_;
    std::function<void(const Notification &)> postedHandler_;
    std::unique_ptr<HostWindow> window_;  // last: it stops delivering before the rest goes
};

// Short limits for tests: probes after 300 ms of silence (a silent terminal is
// dropped after 600 ms), a 1 s send-gate limit.
ServerLimits fastLimits();
// fastLimits without probes, and with a frame to the terminal allowed far more
// than its 500 ms: for tests whose terminals must stay connected however slowly
// the test's own steps (or the terminal's reading) go, and which leave no frame
// unfinished (the receive limit is also the time a header or payload has to arrive).
ServerLimits steadyLimits();

// Keeps a terminal connected under a server with short limits however slowly a
// test goes: it answers every probe (17) at once, from its reader thread, with a
// frame outside the catalogue (18, no payload), which the server skips without
// telling the host. A probe comes only while the server waits for a header, so
// the answer lands between frames, unless the test itself is just then sending
// a frame in several writes.
void answerProbes(sim::SimTerminal &terminal);

class TestServer {
public:
    explicit TestServer(ServerLimits limits = fastLimits());
    ~TestServer();

    Server &server() { return server_; }
    HostRecorder &host() { return host_; }
    int port() const { return port_; }

    // A terminal that has connected and identified itself.
    std::unique_ptr<sim::SimTerminal> join(sim::Identity identity = {});
    // Waits until the table holds `count` terminals.
    bool waitForCount(int count, int timeoutMs = kEventWaitMs);

private:
    HostRecorder host_;
    Server server_;
    int port_ = 0;
};

}  // namespace ks318::test

namespace ks318::test {

// The library as a host uses it: the server behind the exports, started on a free
// loopback port with a recording host, and terminals that join it.
class ExportSession {
public:
    ExportSession();
    ~ExportSession();
    ExportSession(const ExportSession &) = delete;
    ExportSession &operator=(const ExportSession &) = delete;

    HostRecorder &host() { return host_; }
    int port() const { return port_; }
    // A terminal that got through the handshake and whose identifier answer (28)
    // the host has been told of; it has the next terminal number. It answers
    // probes: the library drops a terminal silent for 30 s, which a test on a
    // busy machine (a sanitizer build) may well outlast.
    std::unique_ptr<sim::SimTerminal> join(sim::Identity identity = {});
    // The server-side record of terminal `number`.
    TerminalRef record(int number);

private:
    HostRecorder host_;
    int port_ = 0;
};

}  // namespace ks318::test
