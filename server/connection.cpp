#include "server/connection.h"

#include "server/bytes.h"
#include "server/frame.h"
#include "server/inbound_dispatch.h"
#include "server/inbound_stream.h"
#include "server/outbound.h"
#include "server/server.h"

namespace ks318 {
namespace {

class ConnectionThread;
thread_local ConnectionThread *currentConnection = nullptr;

// Consecutive silent periods after which a terminal is dropped.
constexpr int kSilentPeriodsToDrop = 2;

class ConnectionThread {
public:
    ConnectionThread(Server &server, TerminalRef terminal)
        : server_(server), terminal_(std::move(terminal)), handle_(terminal_->socket()),
          address_(terminal_->ipValue()), epoch_(server.notifications().epoch()) {}

    void run() {
        // Every read of the socket on this thread goes through this one stream.
        InboundStream stream(handle_);
        stream.setStallLimitMs(server_.limits().receiveLimitMs);
        try {
            if (stillListed()) {
                // The terminal is numbered, and the host hears of it, once its
                // handshake is through or has failed: code 19 is always the first
                // frame it gets, and nothing the host sends comes before 21 and 27.
                const bool identified = handshake(stream);
                if (!identified) {
                    // Told as connect, then disconnect; nothing reaches the connection meanwhile.
                    terminal_->shutdownConnection();
                    number_ = server_.terminals().promote(terminal_.get());
                }
                announce();
                if (identified) readLoop(stream);
            }
        } catch (...) {
            // Nothing leaves a library thread (no memory for a store, say): the connection ends.
        }
        leave();
    }

    const Server &server() const { return server_; }

    // The disconnect notification, once, and only for a terminal the host was told of.
    void depart() {
        if (!announced_ || departed_) return;
        departed_ = true;
        server_.notifications().disconnected(epoch_, address_, handle_, terminal_->id());
    }

private:
    bool stillListed() const { return terminal_->listed(); }

    void send(int code, const void *payload = nullptr, int count = 0) {
        sendGatedFrame(*terminal_, server_.limits().sendGateLimitMs, static_cast<std::uint16_t>(code),
                       payload, count);
    }

    // 19 out; 20 with a 4-byte identification word back; then 21 (payload 1) and 27.
    bool handshake(InboundStream &stream) {
        send(kCodeIdentify);
        std::int32_t length = 0;
        int code = stream.receiveHeader(length, server_.limits().receiveLimitMs);
        if (code != kCodeIdentification || length != 4) return false;
        std::uint8_t word[4] = {};
        if (stream.receiveFully(word, 4, server_.limits().receiveLimitMs) != 4) return false;
        terminal_->setIdent(loadLE32(word));
        terminal_->setIdentified();
        // 21 and 27 leave in one write: the terminal gets both in one delivery. It
        // is numbered inside that write: a host that finds it from then on waits
        // for the send gate, or queues behind the write, so its frames follow 27.
        std::uint8_t frames[kHeaderBytes + 4 + kHeaderBytes];
        encodeHeader(frames, kCodeAccepted, 4);
        storeLE32(frames + kHeaderBytes, 1);
        encodeHeader(frames + kHeaderBytes + 4, kCodeRequestUid, 0);
        sendUnderGate(*terminal_, server_.limits().sendGateLimitMs, sizeof frames, [&](const FrameWriter &out) {
            number_ = server_.terminals().promote(terminal_.get());
            return out.all(frames, sizeof frames);
        });
        return number_ != 0;  // 0: removed meanwhile (a stop, or displaced at the capacity)
    }

    void readLoop(InboundStream &stream) {
        const ServerLimits &limits = server_.limits();
        InboundContext context{server_, *terminal_, stream, epoch_};
        int silentCount = 0;
        while (stillListed()) {
            // Nothing is read while a frame goes out to the terminal.
            if (!terminal_->sendGate.waitFree(limits.sendGateLimitMs)) continue;
            std::int32_t length = 0;
            int code = stream.receiveHeader(length, limits.receiveLimitMs);
            if (code == kReceiveGone) return;
            if (code == kReceiveSilent) {
                if (!stillListed()) return;
                send(kCodeProbe);
                if (++silentCount >= kSilentPeriodsToDrop) return;
                continue;
            }
            if (code == kReceiveIgnored) continue;
            // An ended connection (a stop, a removal, a failed frame) dispatches
            // nothing more, even from bytes already read ahead.
            if (terminal_->outbound.failed()) return;
            silentCount = 0;
            dispatchFrame(context, static_cast<std::uint16_t>(code), length);
            // A frame that stopped short leaves the stream out of step: nothing
            // after it can be read as frames, so the connection ends.
            if (stream.broken()) return;
        }
    }

    // The connect notification with the terminal's number as it is now; none for
    // a terminal that was never numbered or left the table meanwhile (a stop, a
    // connection displaced in its handshake), which then leaves unheard.
    void announce() {
        if (number_ == 0) return;
        const int number = server_.terminals().numberOf(terminal_.get());
        if (number == 0) return;
        announced_ = true;
        server_.notifications().connected(epoch_, address_, number, terminal_->id());
    }

    // The terminal leaves the table before the host is told, so a host that
    // re-reads the numbers on a disconnect finds them already closed up. The
    // socket is closed when the last holder of the record lets go.
    void leave() {
        terminal_->shutdownConnection();
        server_.terminals().remove(terminal_.get());
        depart();
    }

    Server &server_;
    TerminalRef terminal_;
    const port::SocketHandle handle_;
    const std::uint32_t address_;
    const Notifications::Epoch epoch_;
    int number_ = 0;  // the number the terminal was given, 0 until then
    bool announced_ = false;
    bool departed_ = false;
};

}  // namespace

void runConnection(Server &server, TerminalRef terminal) {
    {
        ConnectionThread connection(server, std::move(terminal));
        currentConnection = &connection;
        connection.run();
        currentConnection = nullptr;
    }
    server.threadEnded();
}

bool onConnectionThreadOf(const Server &server) {
    return currentConnection != nullptr && &currentConnection->server() == &server;
}

void departBeforeStopReturns(const Server &server) {
    if (onConnectionThreadOf(server)) currentConnection->depart();
}

}  // namespace ks318
