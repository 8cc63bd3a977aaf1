#include "bench/support/bench_session.h"

namespace ks318::bench {

void CountingHost::post(void *context, std::uint32_t, std::uint32_t, std::uint32_t lParam) {
    if ((lParam & 0xFFFF) == 1) static_cast<CountingHost *>(context)->connects.fetch_add(1, std::memory_order_relaxed);
}

void CountingHost::send(void *context, std::uint32_t, std::uint32_t, std::uint32_t) {
    // One connection thread at a time reports data in these benchmarks: a plain
    // store keeps the handler as close to doing nothing as a counter can.
    std::atomic<std::uint64_t> &data = static_cast<CountingHost *>(context)->data;
    data.store(data.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

LibrarySession::LibrarySession(KqHostTarget *target) {
    if (kq_startserverex(target ? target : &host_.target, kConnectMessage, kDataMessage, "127.0.0.1", 0) == 1) port_ = kq_getserverport();
}

LibrarySession::~LibrarySession() {
    if (port_ != 0) kq_finishserver();
}

PlainListener::PlainListener(int backlog) {
    socket_ = port::listenTcp("127.0.0.1", 0, backlog);
    if (socket_ != port::kNoSocket) port_ = port::localPort(socket_);
}

PlainListener::~PlainListener() { port::closeSocket(socket_); }

port::SocketHandle PlainListener::accept() {
    std::uint32_t peer = 0;
    return port::acceptTcp(socket_, peer);
}

bool plainWrite(port::SocketHandle socket, const std::uint8_t *bytes, std::size_t count) {
    while (count > 0) {
        const int sent = port::sendSome(socket, bytes, static_cast<int>(count));
        if (sent < 0) return false;
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace ks318::bench
