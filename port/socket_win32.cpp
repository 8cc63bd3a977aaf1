// Windows Sockets. A blocking call on Windows is not woken by shutdown(), so
// every wait here is a select() in short slices that also looks at a list of
// sockets the server has shut down: stopping works the same as on POSIX.
#include "port/socket.h"

#include "port/failure.h"

#include <string>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace ks318::port {
namespace {

constexpr int kSliceMs = 20;

std::atomic<int> startupCount{0};

// The sockets library is held open from the first use of any socket facility to
// the end of the process, so simulated terminals, address conversions and host
// lookups work whether or not a server was started. The counted start and stop
// below are the server's own and do not touch this hold.
void holdSocketsLibrary() {
    static const bool held = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)held;
}

std::mutex shutMutex;
std::unordered_set<SocketHandle> shutSockets;

bool isShut(SocketHandle socket) {
    std::lock_guard lock(shutMutex);
    return shutSockets.count(socket) != 0;
}

SOCKET native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

void setNoDelay(SOCKET socket) {
    // Frames are small and answered; Nagle would hold a header back ~40 ms.
    BOOL one = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

// A blocking send on Windows returns once all its bytes are buffered; its time
// limit is the socket's send time-out, set here for the call at hand (0 would
// mean no limit). A send that times out leaves the connection unusable, which
// the caller gives up.
bool allowSendFor(SocketHandle socket, int waitMs) {
    if (waitMs <= 0) return false;
    const DWORD limit = static_cast<DWORD>(waitMs);
    ::setsockopt(native(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit);
    return true;
}

int sendFailure() { return ::WSAGetLastError() == WSAETIMEDOUT ? kSendTimedOut : -1; }

// 1 readable, 0 nothing within waitMs, -1 failed; one select() call.
int selectReadable(SocketHandle socket, int waitMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval limit{waitMs / 1000, (waitMs % 1000) * 1000};
    const int result = ::select(0, &readable, nullptr, nullptr, &limit);
    return result == SOCKET_ERROR ? -1 : (result > 0 ? 1 : 0);
}

}  // namespace

int socketsStartup() {
    holdSocketsLibrary();
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return -1;
    startupCount.fetch_add(1);
    return 0;
}

int socketsCleanup() {
    int count = startupCount.load();
    while (count > 0) {
        if (startupCount.compare_exchange_weak(count, count - 1)) return WSACleanup() == 0 ? 0 : -1;
    }
    return -1;
}

SocketHandle listenTcp(const char *bindAddress, int port, int backlog) {
    holdSocketsLibrary();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    if (bindAddress == nullptr || bindAddress[0] == '\0') {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, bindAddress, &address.sin_addr) != 1) {
        noteListenFailure(ListenFailure::BadAddress, bindAddress, port, "");
        return kNoSocket;
    }
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        noteListenFailure(ListenFailure::Other, bindAddress, port, ("error " + std::to_string(::WSAGetLastError())).c_str());
        return kNoSocket;
    }
    // Windows lets a listener be restarted at once without SO_REUSEADDR, which
    // here would even let a second listener take a port that is in use: the port
    // is claimed exclusively instead.
    BOOL one = TRUE;
    ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one), sizeof one);
    if (::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(socket, backlog) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(socket);
        noteListenFailure(error == WSAEADDRINUSE      ? ListenFailure::PortInUse
                          : error == WSAEADDRNOTAVAIL ? ListenFailure::AddressNotLocal
                          : error == WSAEACCES        ? ListenFailure::NotPermitted
                                                      : ListenFailure::Other,
                          bindAddress, port, ("error " + std::to_string(error)).c_str());
        return kNoSocket;
    }
    return static_cast<SocketHandle>(socket);
}

int localPort(SocketHandle socket) {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getsockname(native(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

SocketHandle acceptTcp(SocketHandle listener, std::uint32_t &peerAddress) {
    for (;;) {
        if (isShut(listener)) return kNoSocket;
        const int ready = selectReadable(listener, kSliceMs);
        if (ready < 0) return kNoSocket;
        if (ready == 0) continue;
        sockaddr_in peer{};
        int length = sizeof peer;
        SOCKET socket = ::accept(native(listener), reinterpret_cast<sockaddr *>(&peer), &length);
        if (socket != INVALID_SOCKET) {
            setNoDelay(socket);
            peerAddress = peer.sin_addr.s_addr;
            return static_cast<SocketHandle>(socket);
        }
        switch (WSAGetLastError()) {
        case WSAECONNRESET:  // the peer left before it was taken
        case WSAEWOULDBLOCK:
            break;
        case WSAEMFILE:
        case WSAENOBUFS:
            // Out of handles or memory: wait for connections to end rather than
            // giving up on accepting for good.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            break;
        default:
            return kNoSocket;  // listener shut down or closed
        }
    }
}

SocketHandle connectTcp(const char *host, int port) {
    holdSocketsLibrary();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *results = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host, service.c_str(), &hints, &results) != 0) return kNoSocket;
    SOCKET socket = INVALID_SOCKET;
    for (addrinfo *entry = results; entry != nullptr; entry = entry->ai_next) {
        socket = ::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (socket == INVALID_SOCKET) continue;
        if (::connect(socket, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0) break;
        ::closesocket(socket);
        socket = INVALID_SOCKET;
    }
    ::freeaddrinfo(results);
    if (socket == INVALID_SOCKET) return kNoSocket;
    setNoDelay(socket);
    return static_cast<SocketHandle>(socket);
}

// Windows has no socketpair(): two ends of a loopback connection, checked to be
// each other's peer.
bool socketPair(SocketHandle &first, SocketHandle &second) {
    SocketHandle listener = listenTcp("127.0.0.1", 0, 1);
    if (listener == kNoSocket) return false;
    SocketHandle client = connectTcp("127.0.0.1", localPort(listener));
    SocketHandle server = kNoSocket;
    if (client != kNoSocket && selectReadable(listener, 5000) == 1) {
        sockaddr_in peer{}, local{};
        int peerLength = sizeof peer, localLength = sizeof local;
        SOCKET accepted = ::accept(native(listener), reinterpret_cast<sockaddr *>(&peer), &peerLength);
        if (accepted != INVALID_SOCKET &&
            ::getsockname(native(client), reinterpret_cast<sockaddr *>(&local), &localLength) == 0 &&
            peer.sin_port == local.sin_port) {
            server = static_cast<SocketHandle>(accepted);
        } else if (accepted != INVALID_SOCKET) {
            ::closesocket(accepted);
        }
    }
    closeSocket(listener);
    if (server == kNoSocket) {
        closeSocket(client);
        return false;
    }
    first = client;
    second = server;
    return true;
}

void shutdownSending(SocketHandle socket) {
    if (socket != kNoSocket) ::shutdown(native(socket), SD_SEND);
}

void shutdownSocket(SocketHandle socket) {
    if (socket == kNoSocket) return;
    {
        std::lock_guard lock(shutMutex);
        shutSockets.insert(socket);
    }
    ::shutdown(native(socket), SD_BOTH);
}

void closeSocket(SocketHandle socket) {
    if (socket == kNoSocket) return;
    {
        // Forgotten before the handle is released, since its value may come back.
        std::lock_guard lock(shutMutex);
        shutSockets.erase(socket);
    }
    ::closesocket(native(socket));
}

int waitReadable(SocketHandle socket, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (isShut(socket)) return 1;  // the receive will tell
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int result = selectReadable(socket, static_cast<int>(std::clamp<long long>(left, 0, kSliceMs)));
        if (result != 0) return result;
        if (left <= 0) return 0;
    }
}

int receiveSome(SocketHandle socket, void *buffer, int count) {
    for (;;) {
        if (isShut(socket)) break;
        const int ready = selectReadable(socket, kSliceMs);
        if (ready < 0) return -1;
        if (ready > 0) break;
    }
    const int received = ::recv(native(socket), static_cast<char *>(buffer), count, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

int receiveWaiting(SocketHandle socket, void *buffer, int count) {
    if (isShut(socket)) return 0;  // as a shut-down socket reads elsewhere: the end of the stream
    const int ready = selectReadable(socket, 0);
    if (ready < 0) return -1;
    if (ready == 0) return kNothingWaiting;
    const int received = ::recv(native(socket), static_cast<char *>(buffer), count, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

int sendSome(SocketHandle socket, const void *data, int count) {
    // Windows raises no signal for a dead peer: the send just fails.
    const int sent = ::send(native(socket), static_cast<const char *>(data), count, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int sendSomeWithin(SocketHandle socket, const void *data, int count, int waitMs) {
    if (!allowSendFor(socket, waitMs)) return kSendTimedOut;
    const int sent = ::send(native(socket), static_cast<const char *>(data), count, 0);
    return sent == SOCKET_ERROR ? sendFailure() : sent;
}

int sendSomeGatheredWithin(SocketHandle socket, const SendPiece *pieces, int count, int waitMs) {
    if (!allowSendFor(socket, waitMs)) return kSendTimedOut;
    WSABUF buffers[kMaxSendPieces];
    count = std::min(count, kMaxSendPieces);
    for (int i = 0; i < count; ++i) {
        buffers[i].buf = static_cast<CHAR *>(const_cast<void *>(pieces[i].data));
        buffers[i].len = static_cast<ULONG>(pieces[i].count);
    }
    DWORD sent = 0;
    if (::WSASend(native(socket), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return sendFailure();
    return static_cast<int>(sent);
}

std::uint32_t inetAddr(const char *dottedText) {
    return dottedText == nullptr ? INADDR_NONE : ::inet_addr(dottedText);
}

std::string inetNtoa(std::uint32_t networkOrderAddress) {
    in_addr address{};
    address.s_addr = networkOrderAddress;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool firstHostAddress(std::uint32_t &networkOrderAddress) {
    holdSocketsLibrary();
    char name[32] = {};
    if (::gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *results = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &results) != 0 || results == nullptr) return false;
    networkOrderAddress = reinterpret_cast<sockaddr_in *>(results->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(results);
    return true;
}

}  // namespace ks318::port
