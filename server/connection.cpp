#include "server/connection.h"

#include "server/bytes.h"
#include "server/frame.h"
#include "server/inbound_dispatch.h"
#include "server/inbound_stream.h"
#include "server/outbound.h"
#include "server/server.h"

namespace ks318 {
namespace {

thread_local const Server *connectionThreadServer = nullptr;

// Consecutive silent periods after which a terminal is dropped.
constexpr int kSilentPeriodsToDrop = 2;

class ConnectionThread {
public:
    ConnectionThread(Server &server, TerminalRef terminal)
        : server_(server), terminal_(std::move(terminal)), handle_(terminal_->socket()),
          address_(terminal_->ipValue()) {}

    void run() {
        // Every read of the socket on this thread goes through this one stream.
        InboundStream stream(handle_);
        if (stillListed() && handshake(stream)) readLoop(stream);
        leave();
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
        // 21 and 27 leave in one write: the terminal gets both in one delivery.
        std::uint8_t frames[kHeaderBytes + 4 + kHeaderBytes];
        encodeHeader(frames, kCodeAccepted, 4);
        storeLE32(frames + kHeaderBytes, 1);
        encodeHeader(frames + kHeaderBytes + 4, kCodeRequestUid, 0);
        sendUnderGate(*terminal_, server_.limits().sendGateLimitMs,
                      [&](port::SocketHandle socket) { return sendAll(socket, frames, sizeof frames); });
        return true;
    }

    void readLoop(InboundStream &stream) {
        const ServerLimits &limits = server_.limits();
        InboundContext context{server_, *terminal_, stream};
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
            silentCount = 0;
            dispatchFrame(context, static_cast<std::uint16_t>(code), length);
        }
    }

    // The terminal leaves the table before the host is told, so a host that
    // re-reads the numbers on a disconnect finds them already closed up. The
    // socket is closed when the last holder of the record lets go.
    void leave() {
        terminal_->shutdownConnection();
        server_.terminals().remove(terminal_.get());
        server_.notifications().disconnected(address_, handle_);
    }

    Server &server_;
    TerminalRef terminal_;
    const port::SocketHandle handle_;
    const std::uint32_t address_;
};

}  // namespace

void runConnection(Server &server, TerminalRef terminal) {
    connectionThreadServer = &server;
    ConnectionThread(server, std::move(terminal)).run();
    connectionThreadServer = nullptr;
    server.connectionEnded();
}

bool onConnectionThreadOf(const Server &server) { return connectionThreadServer == &server; }

}  // namespace ks318
