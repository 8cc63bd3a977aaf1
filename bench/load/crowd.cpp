#include "bench/load/crowd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/frame_walker.h"
#include "port/poller.h"
#include "sim/sim_terminal.h"
#include "sim/wire.h"

namespace ks318::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kControlTag = ~std::uint64_t{0};

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// A connect to 127.0.0.1:port that does not wait for its handshake, as each of
// many terminals on a network starts its own at the same moment: the SYNs reach
// the listener together. The socket is blocking again once the connect is
// under way; it turns readable with the server's first frame (or its failure).
port::SocketHandle connectWithoutWaiting(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return port::kNoSocket;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if ((::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return port::kNoSocket;
    }
    return fd;
}

struct Connection {
    port::SocketHandle socket = port::kNoSocket;
    FrameWalker walker;
    bool greeted = false;
    bool identified = false;
};

bool sendAll(port::SocketHandle socket, const sim::Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = port::sendSome(socket, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

class Crowd {
public:
    Crowd(port::SocketHandle control, int count) : control_(control), count_(count) {
        const sim::Identity identity;
        identification_ = sim::encodeFrame(20, identity.identificationWord());
        sim::Bytes uid(identity.uid.begin(), identity.uid.end());
        uidAnswer_ = sim::encodeFrame(28, sim::concat({uid, sim::field(identity.uidText, 32)}));
        alive_ = sim::encodeFrame(36, sim::le32(1));
    }

    int run() {
        if (!poller_.valid() || !poller_.add(control_, kControlTag)) return 1;
        std::vector<std::uint64_t> ready(256);
        while (!quit_) {
            const int count = poller_.wait(ready.data(), static_cast<int>(ready.size()), 1000);
            if (count < 0) return 1;
            for (int i = 0; i < count; ++i) {
                if (ready[static_cast<std::size_t>(i)] == kControlTag) {
                    if (!readControl()) return 1;
                } else {
                    readTerminal(ready[static_cast<std::size_t>(i)]);
                }
            }
            connectMore();
        }
        return 0;
    }

private:
    void answer(const std::string &line) { sendAll(control_, sim::Bytes(line.begin(), line.end())); }

    bool readControl() {
        char buffer[256];
        const int count = port::receiveSome(control_, buffer, sizeof buffer);
        if (count <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(count));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            command(line);
        }
        return true;
    }

    void command(const std::string &line) {
        const bool rush = line.rfind("rush ", 0) == 0;
        if (rush || line.rfind("connect ", 0) == 0) {
            port_ = std::atoi(line.c_str() + (rush ? 5 : 8));
            rushing_ = rush;
            identified_ = greeted_ = 0;
            reported_ = false;
            started_ = nowNs();
            connections_.clear();
            connections_.reserve(static_cast<std::size_t>(count_));
        } else if (line.rfind("expect ", 0) == 0) {
            target_ = received_ + std::strtoull(line.c_str() + 7, nullptr, 10);
            waiting_ = true;
            answer("ok\n");
        } else if (line == "close") {
            for (Connection &connection : connections_) {
                poller_.remove(connection.socket);
                port::closeSocket(connection.socket);
            }
            connections_.clear();
            port_ = 0;
            answer("closed\n");
        } else if (line == "quit") {
            quit_ = true;
            answer("bye\n");
        }
    }

    // Opens connections while fewer than the window wait for their greeting;
    // in a rush, all of them at once.
    void connectMore() {
        const int window = rushing_ ? count_ : kConnectWindow;
        while (port_ != 0 && static_cast<int>(connections_.size()) < count_ &&
               static_cast<int>(connections_.size()) - greeted_ < window) {
            Connection connection;
            connection.socket = rushing_ ? connectWithoutWaiting(port_) : port::connectTcp("127.0.0.1", port_);
            if (connection.socket == port::kNoSocket) return;
            poller_.add(connection.socket, connections_.size());
            connections_.push_back(std::move(connection));
        }
    }

    void readTerminal(std::uint64_t tag) {
        if (tag >= connections_.size()) return;
        Connection &connection = connections_[tag];
        const int count = port::receiveSome(connection.socket, buffer_.data(), static_cast<int>(buffer_.size()));
        if (count <= 0) {
            poller_.remove(connection.socket);
            return;
        }
        connection.walker.feed(buffer_.data(), static_cast<std::size_t>(count), [&](std::uint16_t code, std::int32_t) {
            if (code == 19) {
                sendAll(connection.socket, identification_);
                if (!connection.greeted) ++greeted_;
                connection.greeted = true;
            } else if (code == 27 && !connection.identified) {
                sendAll(connection.socket, uidAnswer_);
                connection.identified = true;
                ++identified_;
            } else if (code == 17) {
                sendAll(connection.socket, alive_);
            }
        });
        received_ += static_cast<std::uint64_t>(count);
        if (!reported_ && identified_ == count_) {
            reported_ = true;
            answer("identified " + std::to_string(nowNs() - started_) + "\n");
        }
        if (waiting_ && received_ >= target_) {
            waiting_ = false;
            answer("drained " + std::to_string(nowNs()) + "\n");
        }
    }

    const port::SocketHandle control_;
    const int count_;
    port::Poller poller_;
    std::vector<Connection> connections_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(256 * 1024);
    std::string pending_;
    sim::Bytes identification_, uidAnswer_, alive_;
    int port_ = 0;
    bool rushing_ = false;
    int greeted_ = 0;
    int identified_ = 0;
    bool reported_ = false;
    std::int64_t started_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t target_ = 0;
    bool waiting_ = false;
    bool quit_ = false;
};

}  // namespace

int runCrowd(port::SocketHandle control, int count) {
    port::socketsStartup();  // one descriptor per terminal: raises the process's limit
    return Crowd(control, count).run();
}

}  // namespace ks318::bench
