// TTerminal: the connection record of one terminal. It owns the connection's
// socket and holds what the server knows of the terminal: its address, its
// identification word, the send gate, and the stores its connection thread fills.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "port/socket.h"
#include "server/answer_budget.h"
#include "server/gates.h"
#include "server/limits.h"
#include "server/outbound_lane.h"
#include "server/stores.h"
#include "server/terminal_id.h"

namespace ks318 {

inline constexpr int kModelWithNewerCommands = 320;
inline constexpr int kModelSmallScreen = 318;
inline constexpr int kVersionWithNewerCommands = 32;

// What the terminal last reported with code 148: four fields, read and written whole.
struct ImageUpdateConfig {
    std::int32_t first = 0;
    char text[100] = {};
    std::int32_t second = 0;
    std::int32_t third = 0;
};

// The file last received from the terminal (code 98), held until the host collects it.
struct PendingFile {
    static constexpr int kNameBytes = 128;
    char name[kNameBytes] = {};                      // zero-ended
    std::optional<std::vector<std::uint8_t>> data;   // absent when no bytes are held
    BudgetShare share;                               // the server's budget these bytes take
    std::int32_t size = 0;                           // -1 once the host has collected it
};

// Reports that replace one another (codes 28, 124, 162), read and written whole.
struct TerminalReports {
    std::uint8_t uid[6] = {};
    char uidText[32] = {};
    std::uint8_t scData[8] = {};
    std::uint16_t serialStatus[2] = {};
};

// Records live in shared pointers (the table's and their users'); a user that
// outlives its call, such as a transfer worker, takes a reference of its own.
class TTerminal : public std::enable_shared_from_this<TTerminal> {
public:
    // The record takes ownership of `socket` and closes it when destroyed. Frames
    // sent to it must leave within the deadlines `timing` gives their sizes.
    TTerminal(port::SocketHandle socket, std::uint32_t peerAddress, FrameTiming timing = {});
    virtual ~TTerminal();
    TTerminal(const TTerminal &) = delete;
    TTerminal &operator=(const TTerminal &) = delete;

    port::SocketHandle socket() const { return socket_; }
    // The connection's id, given at construction: it never changes and is never
    // given to another record (0 only when the ids ran out).
    TerminalId id() const { return id_; }
    // Dotted IPv4 text of the peer; lives as long as the record.
    const char *ip() const { return ipBuf_; }
    // The peer's address in network byte order, as its dotted text converts back.
    std::uint32_t ipValue() const;

    // Ends the connection: no frame is sent to it any more (queued ones are
    // dropped) and the connection thread wakes out of its receive to take its
    // exit steps. The handle stays held until the record goes.
    void shutdownConnection();

    // Set while the terminal is in the table (the table keeps it): the
    // connection thread asks this once per frame without walking the table.
    bool listed() const { return listed_.load(std::memory_order_acquire); }
    void setListed(bool listed) { listed_.store(listed, std::memory_order_release); }

    // Identification word: b0 terminal version, b1 b2 model number (b1 high).
    std::uint32_t ident() const { return ident_.load(std::memory_order_acquire); }
    void setIdent(std::uint32_t ident) { ident_.store(ident, std::memory_order_release); }
    int modelNumber() const { return modelOf(ident()); }
    int terminalVersion() const { return static_cast<int>(ident() & 0xFF); }
    // The model number an identification word carries: b1 × 256 + b2.
    static int modelOf(std::uint32_t ident) {
        return static_cast<int>(((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF));
    }
    // Set once the handshake is through (the identification word is known): from
    // then on the model number, and so the screen size, never changes.
    bool identified() const { return identified_.load(std::memory_order_acquire); }
    void setIdentified() { identified_.store(true, std::memory_order_release); }

    ImageUpdateConfig imageUpdateConfig() const;
    void setImageUpdateConfig(const ImageUpdateConfig &config);

    TerminalReports reports() const;
    template <class Change>
    void updateReports(Change &&change) {
        SpinGuard guard(reportLock_);
        change(reports_);
    }

    // Send gate: held by every sender of a frame for the whole frame.
    SendGate sendGate;
    // The way out: gated senders write through it inside the send gate; the two
    // ungated commands queue on it, so frames never interleave and those two
    // never wait for another frame.
    OutboundLane outbound;
    // Held while a full-screen image or a block is being sent.
    SpinGate imageBusy;

    SerialStore serial;
    MagStore mag;
    ConfigStore config;
    WifiStore wifi;
    EventStack events;

    // The received file, guarded by receptionLock. The connection thread fills
    // it (holding the send gate first), the host collects it.
    PendingFile pendingFile;
    SpinGate receptionLock;
    // Set while a transfer worker sends a file to this terminal.
    std::atomic<bool> transferRunning{false};

    // Last values reported (codes 171, 175, 179, 183); 0 until the first report.
    std::atomic<std::int32_t> sensorStatus{0};
    std::atomic<std::int32_t> audioStatus{0};
    std::atomic<std::int32_t> volume{0};
    std::atomic<std::int32_t> brightness{0};

private:
    const port::SocketHandle socket_;
    const TerminalId id_;
    char ipBuf_[16] = {};
    std::atomic<std::uint32_t> ident_{0};
    std::atomic<bool> listed_{false};
    std::atomic<bool> identified_{false};

    mutable SpinGate imageUpdateLock_;
    ImageUpdateConfig imageUpdateConfig_;
    mutable SpinGate reportLock_;
    TerminalReports reports_;
};

}  // namespace ks318
