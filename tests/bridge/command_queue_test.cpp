// The command workers: one at a time in arrival order per terminal, terminals
// side by side, bounded, and a stop that answers whatever still waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/waits.h"
#include "tools/bridge/command_queue.h"

namespace ks318::bridge {
namespace {

// A job that runs only once the test lets it.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool entered = false;
    void pass() {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    }
    bool waitEntered() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(test::kEventWaitMs), [&] { return entered; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST(CommandQueue, RunsJobsOneAtATimeInArrivalOrder) {
    CommandQueue queue(100, 1 << 20);
    queue.start();
    std::mutex mutex;
    std::condition_variable done;
    std::vector<int> order;
    std::atomic<int> running{0}, mostAtOnce{0};
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(queue.push({[&, i] {
                                    mostAtOnce = std::max(mostAtOnce.load(), ++running);
                                    std::this_thread::yield();
                                    --running;
                                    std::lock_guard lock(mutex);
                                    order.push_back(i);
                                    done.notify_all();
                                },
                                nullptr, 10}));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::milliseconds(test::kEventWaitMs), [&] { return order.size() == 50; }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(mostAtOnce.load(), 1);
}

TEST(CommandQueue, AFullQueueRefusesAtOnceAndAStopAnswersTheWaiting) {
    CommandQueue queue(2, 1000);
    queue.start();
    Gate gate;
    std::vector<std::string> refusals;  // on this thread only: push and stop refuse here
    auto refuse = [&](const std::string &reason) { refusals.push_back(reason); };
    ASSERT_TRUE(queue.push({[&] { gate.pass(); }, refuse, 10}));
    ASSERT_TRUE(gate.waitEntered());
    ASSERT_TRUE(queue.push({[] {}, refuse, 600}));
    EXPECT_FALSE(queue.push({[] {}, refuse, 600})) << "over the byte bound";
    ASSERT_TRUE(queue.push({[] {}, refuse, 10}));
    EXPECT_FALSE(queue.push({[] {}, refuse, 1})) << "over the count bound";
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0], "too many commands are waiting; try again later");

    std::thread stopper([&] { queue.stop("the bridge is stopping"); });
    // Once a new command is refused as "stopping", the stop holds the waiting ones.
    std::string lastRefusal;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kEventWaitMs);
    while (lastRefusal != "the bridge is stopping" && std::chrono::steady_clock::now() < until) {
        queue.push({[] {}, [&](const std::string &reason) { lastRefusal = reason; }, 1000});
        std::this_thread::yield();
    }
    ASSERT_EQ(lastRefusal, "the bridge is stopping");
    gate.release();  // the running job finishes; the two waiting are answered, not run
    stopper.join();
    ASSERT_EQ(refusals.size(), 4u);
    EXPECT_EQ(refusals[2], "the bridge is stopping");
    EXPECT_FALSE(queue.push({[] {}, refuse, 1}));
    EXPECT_EQ(refusals.back(), "the bridge is stopping");
}

// A terminal that stops reading holds up its own commands, never another's;
// a command for every terminal keeps its place among all of them.
TEST(CommandQueue, ASlowTerminalHoldsUpItsOwnCommandsOnly) {
    CommandQueue queue(100, 1 << 20);
    queue.start();
    Gate slow;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::string> order;
    auto record = [&](std::string name) {
        return [&, name] {
            std::lock_guard lock(mutex);
            order.push_back(name);
            done.notify_all();
        };
    };
    auto ran = [&](std::size_t count) {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, std::chrono::milliseconds(test::kEventWaitMs), [&] { return order.size() >= count; });
    };
    ASSERT_TRUE(queue.push({[&] { slow.pass(); }, nullptr, 1, "A"}));
    ASSERT_TRUE(slow.waitEntered());
    ASSERT_TRUE(queue.push({record("A2"), nullptr, 1, "A"}));
    ASSERT_TRUE(queue.push({record("B1"), nullptr, 1, "B"}));
    ASSERT_TRUE(ran(1)) << "B's command waited behind A's slow one";
    ASSERT_TRUE(queue.push({record("all"), nullptr, 1, std::nullopt}));
    ASSERT_TRUE(queue.push({record("B2"), nullptr, 1, "B"}));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(order, std::vector<std::string>{"B1"});  // A2 behind A, B2 behind the site-wide command
    }
    slow.release();
    ASSERT_TRUE(ran(4));
    EXPECT_EQ(order, (std::vector<std::string>{"B1", "A2", "all", "B2"}));
}

}  // namespace
}  // namespace ks318::bridge
