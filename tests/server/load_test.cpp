// Many terminals at once: a whole table connecting at the same moment (a host
// restart with a full shop) is greeted and identified, the table's limit holds
// for the rest, and nothing is left behind when they go.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include "ks318.h"
#include "tests/support/host_recorder.h"
#include "tests/support/process_usage.h"

namespace ks318 {
namespace {

using test::Notification;
using test::openDescriptors;
using Clock = std::chrono::steady_clock;
using Terminals = std::vector<std::unique_ptr<sim::SimTerminal>>;

// A crowd takes seconds, not milliseconds, on a busy machine with a sanitizer.
constexpr int kCrowdWaitMs = 3 * test::kEventWaitMs;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<std::int64_t>(left, 0));
}

// Connects terminals[from..] from threads released together, each connecting
// its share as fast as it can: the handshakes complete in the kernel far faster
// than the server accepts them, so they pile up in the listen backlog, with
// dozens in flight at once as from terminals on a network (a backlog too small
// for the crowd then overflows into SYN cookies whose connections are never
// accepted). How many connects failed.
int connectAtOnce(Terminals &terminals, std::size_t from, int port) {
    constexpr std::size_t kThreads = 32;
    std::latch start(kThreads);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (std::size_t i = from + t; i < terminals.size(); i += kThreads)
                if (!terminals[i]->connect("127.0.0.1", port)) failed.fetch_add(1);
        });
    }
    for (std::thread &thread : threads) thread.join();
    return failed.load();
}

// True when the terminal's first frame is the greeting 19 and 21 and 27 came after it.
bool greetedThenIdentified(const sim::SimTerminal &terminal) {
    const std::vector<sim::Frame> frames = terminal.frames();
    if (frames.empty() || frames.front().code != 19) return false;
    const auto has = [&](std::uint16_t code) {
        return std::any_of(frames.begin() + 1, frames.end(), [&](const sim::Frame &f) { return f.code == code; });
    };
    return has(21) && has(27);
}

TEST(Load, WholeTableAtOnceIsGreetedAndTheRestRefused) {
    const int descriptorsBefore = openDescriptors();
    // The shipped listen backlog; no probes while the crowd connects.
    const ServerLimits limits = test::steadyLimits();
    ASSERT_EQ(limits.capacity, 1024);
    {
        test::TestServer server(limits);
        Terminals terminals;
        for (int i = 0; i < 1024; ++i) terminals.push_back(std::make_unique<sim::SimTerminal>());

        // A whole table at once: every one greeted (19) and identified (21, 27).
        // A backlog smaller than the crowd leaves terminals connected on their
        // side, never accepted, waiting for a 19 that never comes.
        ASSERT_EQ(connectAtOnce(terminals, 0, server.port()), 0) << "connections refused";
        const auto crowdDeadline = Clock::now() + std::chrono::milliseconds(kCrowdWaitMs);
        int identified = 0, inOrder = 0;
        for (std::size_t i = 0; i < 1024; ++i) {
            if (!terminals[i]->waitForFrame(27, msLeft(crowdDeadline))) continue;
            ++identified;
            if (greetedThenIdentified(*terminals[i])) ++inOrder;
        }
        ASSERT_EQ(identified, 1024) << "terminals left waiting for their greeting or identification";
        EXPECT_EQ(inOrder, 1024) << "terminals whose first frame was not 19, or without 21 after it";
        EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isConnect(); }, kCrowdWaitMs, 1024));

        // The table is full: 76 more at once are each closed without a greeting.
        for (int i = 0; i < 76; ++i) terminals.push_back(std::make_unique<sim::SimTerminal>());
        ASSERT_EQ(connectAtOnce(terminals, 1024, server.port()), 0);
        const auto refusalDeadline = Clock::now() + std::chrono::milliseconds(kCrowdWaitMs);
        int refused = 0;
        for (std::size_t i = 1024; i < terminals.size(); ++i)
            if (terminals[i]->waitDisconnected(msLeft(refusalDeadline)) && terminals[i]->frames().empty()) ++refused;
        EXPECT_EQ(refused, 76);
        EXPECT_EQ(server.server().terminals().count(), 1024);
        EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isConnect(); }).size(), 1024u);

        // The served ones are heard.
        for (std::size_t i = 0; i < 1024; ++i) EXPECT_TRUE(terminals[i]->send(53, {'x'})) << "terminal " << i;
        EXPECT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_KEY); }, kCrowdWaitMs, 1024));
        EXPECT_EQ(server.server().finish(), 0);
        EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isDisconnect(); }).size(), 1024u)
            << "one disconnect for every connect";
        terminals.clear();
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "every socket was closed";
}

}  // namespace
}  // namespace ks318
