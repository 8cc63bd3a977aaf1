#include "tools/web/guarded_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>

namespace ks318::web {
namespace {

thread_local GuardedConnection *tCurrent = nullptr;

constexpr std::size_t kReadAwayLimit = 1 << 20;
constexpr int kReadAwayMs = 500;

int pollOne(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    int ready;
    do ready = ::poll(&entry, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0 ? entry.revents : (ready == 0 ? 0 : -1);
}

void addressOf(const sockaddr_storage &address, socklen_t length, std::string &ip, int &port) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

}  // namespace

GuardedConnection::GuardedConnection(int fd, int readTimeoutMs, int writeTimeoutMs)
    : fd_(fd), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

GuardedConnection *GuardedConnection::current() { return tCurrent; }

void GuardedConnection::startRequest() {
    budget_ = kHeadLimit;
    handed_ = headEnd_ = bodyLength_ = 0;
    admitted_ = chunked_ = refused_ = false;
}

void GuardedConnection::admit(const httplib::Request &req, std::uint64_t limit) {
    if (admitted_) return;  // the 100-continue check came first
    admitted_ = true;
    headEnd_ = handed_;
    budget_ = 0;
    if (req.has_header("Transfer-Encoding")) {
        // Chunk sizes and endings around at most `limit` bytes; the routes count the bytes.
        chunked_ = true;
        budget_ = limit == 0 ? 0 : limit * 8 + kHeadLimit;
        return;
    }
    if (!req.has_header("Content-Length")) return;
    const std::string text = req.get_header_value("Content-Length");
    std::uint64_t length = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (error != std::errc() || end != text.data() + text.size() || length > limit) {
        refused_ = true;
        return;
    }
    bodyLength_ = budget_ = length;
}

void GuardedConnection::refuse() {
    admitted_ = refused_ = true;
    budget_ = 0;
}

bool GuardedConnection::keepAfterAnswer() const {
    return admitted_ && !refused_ && !chunked_ && handed_ - headEnd_ == bodyLength_;
}

bool GuardedConnection::peerGone() const {
    if (begin_ < end_) return false;
    const int events = pollOne(fd_, POLLIN | POLLRDHUP, 0);
    if (events < 0 || (events & (POLLRDHUP | POLLHUP | POLLERR))) return true;
    if (events & POLLIN) {
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
    return false;
}

bool GuardedConnection::is_readable() const {
    return begin_ < end_ || pollOne(fd_, POLLIN, readTimeoutMs_) > 0;
}

bool GuardedConnection::is_writable() const { return pollOne(fd_, POLLOUT, writeTimeoutMs_) > 0; }

ssize_t GuardedConnection::read(char *ptr, std::size_t size) {
    // Past the budget the request has no more bytes, as if its sender had stopped.
    size = static_cast<std::size_t>(std::min<std::uint64_t>(size, budget_));
    if (size == 0) return 0;
    if (begin_ == end_) {
        if (!is_readable()) return -1;
        ssize_t got;
        do got = ::recv(fd_, buffer_, sizeof buffer_, 0);
        while (got < 0 && errno == EINTR);
        if (got <= 0) return got;
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
    }
    const std::size_t taken = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, taken);
    begin_ += taken;
    budget_ -= taken;
    handed_ += taken;
    return static_cast<ssize_t>(taken);
}

ssize_t GuardedConnection::write(const char *ptr, std::size_t size) {
    if (!is_writable()) return -1;
    ssize_t sent;
    do sent = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent;
}

void GuardedConnection::get_remote_ip_and_port(std::string &ip, int &port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0) addressOf(address, length, ip, port);
}

void GuardedConnection::get_local_ip_and_port(std::string &ip, int &port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0) addressOf(address, length, ip, port);
}

template <class Stop> bool GuardedConnection::waitForRequest(int seconds, Stop stop) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop()) {
        if (begin_ < end_) return true;
        const int events = pollOne(fd_, POLLIN, 100);
        if (events < 0 || (events & (POLLHUP | POLLERR))) return false;
        if (events & POLLIN) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return false;
}

void GuardedConnection::finish() {
    ::shutdown(fd_, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadAwayMs);
    std::size_t readAway = 0;
    while (readAway < kReadAwayLimit) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || pollOne(fd_, POLLIN, static_cast<int>(left.count())) <= 0) break;
        const ssize_t got = ::recv(fd_, buffer_, sizeof buffer_, 0);
        if (got <= 0) break;
        readAway += static_cast<std::size_t>(got);
    }
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    // Answers go out as they are written, not held for the peer's delayed ACK.
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    GuardedConnection connection(sock, static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                                 static_cast<int>(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
    tCurrent = &connection;
    bool ok = false;
    for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!connection.waitForRequest(static_cast<int>(keep_alive_timeout_sec_),
                                       [this] { return svr_sock_ == INVALID_SOCKET; }))
            break;
        connection.startRequest();
        bool closed = false;
        ok = process_request(connection, left == 1, closed, nullptr);
        if (!ok || closed || !connection.keepAfterAnswer()) break;
    }
    tCurrent = nullptr;
    connection.finish();
    ::close(sock);
    return ok;
}

}  // namespace ks318::web
