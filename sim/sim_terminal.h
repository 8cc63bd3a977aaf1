// SimTerminal: a terminal played over TCP. It connects to a server, answers the
// server's requests as a device would, records every frame it receives with its
// exact bytes, and sends whatever a test wants, well-formed or hostile.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "port/socket.h"
#include "sim/wire.h"

namespace ks318::sim {

struct Identity {
    std::uint8_t version = 32;   // terminal version: b0 of the identification word
    std::uint16_t model = 320;   // model number: b1 (high byte) and b2
    std::uint8_t extra = 0;      // b3
    std::array<std::uint8_t, 6> uid{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    std::string uidText = "SIM TERMINAL";

    // The four bytes b0 b1 b2 b3 sent with code 20.
    Bytes identificationWord() const;
};

class SimTerminal {
public:
    // Answers a received frame; runs on the terminal's reader thread.
    using Answer = std::function<void(SimTerminal &, const Frame &)>;
    enum class Direction { Received, Sent };
    // Sees every frame received (before it is answered) and every frame sent with
    // send or sendWithLength (once written); runs on the thread that read or sent it.
    using Observer = std::function<void(Direction, const Frame &)>;

    explicit SimTerminal(Identity identity = {});
    ~SimTerminal();
    SimTerminal(const SimTerminal &) = delete;
    SimTerminal &operator=(const SimTerminal &) = delete;

    const Identity &identity() const { return identity_; }

    // Connects and starts reading. The default answers: 19 → 20 with the
    // identification word, 27 → 28 with the unique identifier and its text.
    bool connect(const std::string &host, int port);
    // Connects and waits until the handshake is through (21 and 27 received).
    // The default bound is far above the milliseconds a handshake takes, for
    // busy machines.
    bool connectAndIdentify(const std::string &host, int port, int timeoutMs = 30000);

    // Replaces (or, with an empty answer, removes) what the terminal does on a code.
    void onFrame(std::uint16_t code, Answer answer);
    // Sets (or, empty, removes) the one observer of the terminal's frames.
    void observeFrames(Observer observer);
    // Reads at most this many bytes a second from now on, as a terminal on a
    // slow network does (0: as fast as they come).
    void limitReadRate(std::int64_t bytesPerSecond);

    // Sending. All return false when the connection failed.
    bool send(std::uint16_t code, const Bytes &payload = {});
    bool sendWithLength(std::uint16_t code, std::int32_t length, const Bytes &payload);
    bool sendRaw(const Bytes &bytes);
    // The bytes in pieces of pieceBytes, pausing pauseMs between pieces.
    bool sendInPieces(const Bytes &bytes, std::size_t pieceBytes, int pauseMs);

    // What arrived: every frame, in order.
    std::vector<Frame> frames() const;
    std::vector<Frame> framesWithCode(std::uint16_t code) const;
    void clearFrames();
    // Waits until `count` frames with the code have arrived in all; the last of them.
    std::optional<Frame> waitForFrame(std::uint16_t code, int timeoutMs, std::size_t count = 1);
    // Waits until at least `count` frames have arrived in all.
    bool waitForFrameCount(std::size_t count, int timeoutMs);

    // True once the server closed the connection (or it failed).
    bool disconnected() const;
    bool waitDisconnected(int timeoutMs);
    // Closes the connection from the terminal's side.
    void close();

private:
    void readLoop();
    bool readExactly(std::uint8_t *buffer, std::size_t count);
    bool sendBytes(const std::uint8_t *data, std::size_t count);
    Observer currentObserver() const;

    Identity identity_;
    port::SocketHandle socket_ = port::kNoSocket;
    std::thread reader_;

    std::mutex sendMutex_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Frame> frames_;
    std::map<std::uint16_t, Answer> answers_;
    Observer observer_;
    std::atomic<std::int64_t> readRate_{0};
    bool disconnected_ = false;
};

}  // namespace ks318::sim
