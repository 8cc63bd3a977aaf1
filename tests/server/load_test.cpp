// Many terminals at once: the table's limit holds, the rest are served, and
// nothing is left behind when they go.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ks318.h"
#include "tests/support/host_recorder.h"
#include "tests/support/process_usage.h"

namespace ks318 {
namespace {

using test::Notification;
using test::openDescriptors;

TEST(Load, EleventHundredConnectionsAtOnce) {
    const int descriptorsBefore = openDescriptors();
    ServerLimits limits = test::steadyLimits();  // no probes while the crowd connects
    limits.backlog = 128;
    // A crowd takes seconds, not milliseconds, on a busy machine with a sanitizer.
    constexpr int kCrowdWaitMs = 3 * test::kEventWaitMs;
    {
        test::TestServer server(limits);
        std::vector<std::unique_ptr<sim::SimTerminal>> terminals;
        for (int i = 0; i < 1100; ++i) {
            terminals.push_back(std::make_unique<sim::SimTerminal>());
            ASSERT_TRUE(terminals.back()->connect("127.0.0.1", server.port())) << "connection " << i;
        }
        ASSERT_TRUE(server.waitForCount(1024, kCrowdWaitMs));
        // Everyone beyond the 1024th is closed without a greeting; the others are greeted.
        int refused = 0, greeted = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCrowdWaitMs);
        for (auto &terminal : terminals) {
            while (std::chrono::steady_clock::now() < deadline) {
                if (!terminal->framesWithCode(27).empty()) {
                    ++greeted;
                    break;
                }
                if (terminal->disconnected() && terminal->frames().empty()) {
                    ++refused;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        EXPECT_EQ(greeted, 1024);
        EXPECT_EQ(refused, 76);
        EXPECT_EQ(server.server().terminals().count(), 1024);
        EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isConnect(); }).size(), 1024u);

        // The served ones are heard.
        for (auto &terminal : terminals) {
            if (!terminal->disconnected()) terminal->send(53, {'x'});
        }
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
