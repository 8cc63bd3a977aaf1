// The HTTP server with its own connection loop, so that no byte of a request's
// body is read before the request was let in. httplib reads a request's line and
// headers, then hands the body to a route; a body that no route reads stays in
// the socket and would be taken whole for the next request's line. Here every
// connection reads through a budget: the head of a request gets at most
// kHeadLimit bytes, its body only what admit() allowed, and a connection whose
// body was refused or left unread ends after its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <httplib.h>

namespace ks318::web {

class GuardedConnection : public httplib::Stream {
public:
    // A request's line and headers together.
    static constexpr std::size_t kHeadLimit = 64 * 1024;

    GuardedConnection(int fd, int readTimeoutMs, int writeTimeoutMs);

    // The connection the calling thread serves; null outside a request.
    static GuardedConnection *current();

    // The request being served may have a body of at most `limit` bytes; 0: it
    // takes none. A body announced larger, or one that is not read to its end,
    // ends the connection after the answer. Called before the routes read.
    void admit(const httplib::Request &req, std::uint64_t limit);
    // The request is refused: nothing more is read from this connection.
    void refuse();
    // The peer has closed its side (or the connection broke).
    bool peerGone() const;

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char *ptr, std::size_t size) override;
    ssize_t write(const char *ptr, std::size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    socket_t socket() const override { return fd_; }

private:
    friend class GuardedServer;
    void startRequest();
    bool keepAfterAnswer() const;
    // Waits until a request starts (true) or `seconds` pass or `stop` says so.
    template <class Stop> bool waitForRequest(int seconds, Stop stop);
    // After the last answer: the peer is told, what it still sends (a little) is
    // read away, so that the answer is not lost to a reset.
    void finish();

    int fd_;
    int readTimeoutMs_, writeTimeoutMs_;
    char buffer_[16 * 1024];
    std::size_t begin_ = 0, end_ = 0;
    std::uint64_t budget_ = 0;   // bytes the current request may still read
    std::uint64_t handed_ = 0;   // bytes read by the current request
    std::uint64_t headEnd_ = 0;  // `handed_` when it was admitted
    std::uint64_t bodyLength_ = 0;
    bool admitted_ = false, chunked_ = false, refused_ = false;
};

class GuardedServer : public httplib::Server {
private:
    bool process_and_close_socket(socket_t sock) override;
};

}  // namespace ks318::web
