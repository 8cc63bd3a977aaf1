#include "port/socket.h"

#include "port/failure.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace ks318::port {
namespace {

std::atomic<int> startupCount{0};

void setNoDelay(int fd) {
    // Frames are small and answered; Nagle would hold a header back ~40 ms.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool isTransientAcceptError(int error) {
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// A server of 1024 terminals needs more descriptors than a default soft limit
// of 1024 allows; the soft limit is raised toward the hard one.
void allowDescriptorsForEveryTerminal() {
    constexpr rlim_t kWanted = 4096;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWanted : std::min<rlim_t>(kWanted, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Runs a send that never waits (trySend) until it takes bytes, waiting for room
// in between, for at most waitMs in all. A send with room costs no extra call.
template <class TrySend>
int sendWithin(int fd, int waitMs, TrySend &&trySend) {
    if (waitMs <= 0) return kSendTimedOut;  // no time left: not even room at hand is taken
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const ssize_t sent = trySend();
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return kSendTimedOut;
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready == 0) return kSendTimedOut;
        if (ready < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

int socketsStartup() {
    allowDescriptorsForEveryTerminal();
    startupCount.fetch_add(1);
    return 0;
}

int socketsCleanup() {
    int count = startupCount.load();
    while (count > 0) {
        if (startupCount.compare_exchange_weak(count, count - 1)) return 0;
    }
    return -1;
}

SocketHandle listenTcp(const char *bindAddress, int port, int backlog) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bindAddress == nullptr || bindAddress[0] == '\0') {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, bindAddress, &address.sin_addr) != 1) {
        noteListenFailure(ListenFailure::BadAddress, bindAddress, port, "");
        return kNoSocket;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        noteListenFailure(ListenFailure::Other, bindAddress, port, std::strerror(errno));
        return kNoSocket;
    }
    // Lets a host stop and start again at once; a second listener on a port
    // that is still listened on keeps failing (no SO_REUSEPORT).
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        const int error = errno;
        ::close(fd);
        noteListenFailure(error == EADDRINUSE      ? ListenFailure::PortInUse
                          : error == EADDRNOTAVAIL ? ListenFailure::AddressNotLocal
                          : error == EACCES        ? ListenFailure::NotPermitted
                                                   : ListenFailure::Other,
                          bindAddress, port, std::strerror(error));
        return kNoSocket;
    }
    return fd;
}

int localPort(SocketHandle socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

SocketHandle acceptTcp(SocketHandle listener, std::uint32_t &peerAddress) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr *>(&peer), &length,
                           SOCK_CLOEXEC);
        if (fd >= 0) {
            setNoDelay(fd);
            peerAddress = peer.sin_addr.s_addr;
            return fd;
        }
        int error = errno;
        if (!isTransientAcceptError(error)) return kNoSocket;  // listener shut down or closed
        if (error != EINTR && error != ECONNABORTED && error != EPROTO) {
            // Out of descriptors or memory: wait for connections to end rather
            // than giving up on accepting for good.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

SocketHandle connectTcp(const char *host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *results = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(host, service.c_str(), &hints, &results) != 0) return kNoSocket;
    int fd = -1;
    for (addrinfo *entry = results; entry != nullptr; entry = entry->ai_next) {
        fd = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, entry->ai_addr, entry->ai_addrlen) == 0) break;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(results);
    if (fd >= 0) setNoDelay(fd);
    return fd >= 0 ? fd : kNoSocket;
}

bool socketPair(SocketHandle &first, SocketHandle &second) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    first = ends[0];
    second = ends[1];
    return true;
}

void shutdownSending(SocketHandle socket) {
    if (socket != kNoSocket) ::shutdown(static_cast<int>(socket), SHUT_WR);
}

void shutdownSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::close(static_cast<int>(socket));
}

int waitReadable(SocketHandle socket, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd entry{static_cast<int>(socket), POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int result = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (result > 0) return 1;  // readable, or hung up / failed: the receive will tell
        if (result == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int receiveSome(SocketHandle socket, void *buffer, int count) {
    for (;;) {
        ssize_t received = ::recv(static_cast<int>(socket), buffer, static_cast<size_t>(count), 0);
        if (received >= 0) return static_cast<int>(received);
        if (errno != EINTR) return -1;
    }
}

int receiveWaiting(SocketHandle socket, void *buffer, int count) {
    for (;;) {
        ssize_t received = ::recv(static_cast<int>(socket), buffer, static_cast<size_t>(count), MSG_DONTWAIT);
        if (received >= 0) return static_cast<int>(received);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingWaiting;
        if (errno != EINTR) return -1;
    }
}

int sendSome(SocketHandle socket, const void *data, int count) {
    for (;;) {
        ssize_t sent = ::send(static_cast<int>(socket), data, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno != EINTR) return -1;
    }
}

int sendSomeWithin(SocketHandle socket, const void *data, int count, int waitMs) {
    return sendWithin(static_cast<int>(socket), waitMs, [&] {
        return ::send(static_cast<int>(socket), data, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

int sendSomeGatheredWithin(SocketHandle socket, const SendPiece *pieces, int count, int waitMs) {
    iovec vectors[kMaxSendPieces];
    count = std::min(count, kMaxSendPieces);
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void *>(pieces[i].data);
        vectors[i].iov_len = static_cast<size_t>(pieces[i].count);
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = static_cast<size_t>(count);
    return sendWithin(static_cast<int>(socket), waitMs,
                      [&] { return ::sendmsg(static_cast<int>(socket), &message, MSG_NOSIGNAL | MSG_DONTWAIT); });
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
