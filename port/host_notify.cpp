// Replacing the host's target: the same on both platforms.
#include "port/host_notify.h"

namespace ks318::port {

// Writers are rare (a start) and take turns; readers never wait for one.
void HostNotifier::store(const KqHostTarget &target) {
    while (writing_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    const std::uint32_t version = version_.load(std::memory_order_relaxed);
    version_.store(version + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    context_.store(target.context, std::memory_order_relaxed);
    post_.store(target.post, std::memory_order_relaxed);
    send_.store(target.send, std::memory_order_relaxed);
    version_.store(version + 2, std::memory_order_release);
    writing_.clear(std::memory_order_release);
}

KqHostTarget HostNotifier::copyOnceReplaced() const {
    KqHostTarget target;
    do std::this_thread::yield();
    while (!tryCopy(target));
    return target;
}

}  // namespace ks318::port
