#include "port/poller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace ks318::port {

Poller::Poller() : handle_(::epoll_create1(EPOLL_CLOEXEC)) {}

Poller::~Poller() {
    if (handle_ >= 0) ::close(handle_);
}

bool Poller::add(SocketHandle socket, std::uint64_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return ::epoll_ctl(handle_, EPOLL_CTL_ADD, static_cast<int>(socket), &event) == 0;
}

void Poller::remove(SocketHandle socket) { ::epoll_ctl(handle_, EPOLL_CTL_DEL, static_cast<int>(socket), nullptr); }

int Poller::wait(std::uint64_t *tags, int capacity, int timeoutMs) {
    std::vector<epoll_event> events(static_cast<std::size_t>(capacity));
    int count;
    do {
        count = ::epoll_wait(handle_, events.data(), capacity, timeoutMs);
    } while (count < 0 && errno == EINTR);
    for (int i = 0; i < count; ++i) tags[i] = events[static_cast<std::size_t>(i)].data.u64;
    return count;
}

}  // namespace ks318::port
