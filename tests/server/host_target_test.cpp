// The host's target is read for every notification without a lock while a
// restart may replace it: a reader must never call one target's function with
// another target's context.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "port/host_notify.h"

namespace ks318 {
namespace {

struct Target {
    std::atomic<int> calls{0};
    std::atomic<int> mismatched{0};
};

Target first;
Target second;

template <Target &Own>
void count(void *context, std::uint32_t, std::uint32_t, std::uint32_t) {
    if (context != &Own) Own.mismatched.fetch_add(1);
    Own.calls.fetch_add(1);
}

TEST(HostTarget, ReplacedWhileNotifyingIsNeverTorn) {
    KqHostTarget targets[2] = {{&first, count<first>, count<first>}, {&second, count<second>, count<second>}};
    port::HostNotifier notifier;
    notifier.setTarget(&targets[0]);

    // Both sides go on until each has done its share while the other ran.
    constexpr int kEach = 200000;
    std::atomic<int> replaced{0};
    std::atomic<bool> done{false};
    std::thread replacer([&] {
        for (int i = 0; !done.load(); ++i) {
            notifier.setTarget(&targets[i % 2]);
            replaced.store(i + 1);
        }
    });
    int sent = 0;
    while (sent < kEach || replaced.load() < kEach) {
        notifier.send(1026, 83, 0);
        ++sent;
    }
    done = true;
    replacer.join();

    EXPECT_EQ(first.mismatched.load() + second.mismatched.load(), 0);
    EXPECT_EQ(first.calls.load() + second.calls.load(), sent) << "each notification reached one target";
}

}  // namespace
}  // namespace ks318
