// With a KqHostTarget every notification is a call on the connection thread: a
// stop made inside the connect handler is the last notification the host gets.
// (A window gets posted messages from its queue after the handler returns.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using test::Notification;

TEST(HostTargetStop, AStopFromTheConnectHandlerIsTheLastNotification) {
    test::TestServer server(test::steadyLimits());
    auto other = server.join();
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_UID); }, test::kEventWaitMs));
    std::atomic<std::size_t> seenWhenStopped{0};
    server.host().onPosted([&](const Notification &n) {
        if (!n.isConnect() || n.high() != 2) return;
        server.server().finish();
        seenWhenStopped = server.host().all().size();
    });
    sim::SimTerminal second;
    ASSERT_TRUE(second.connect("127.0.0.1", server.port()));
    ASSERT_TRUE(second.waitDisconnected(test::kEventWaitMs));
    ASSERT_TRUE(other->waitDisconnected(test::kEventWaitMs));
    // The connect is recorded once its handler (and the stop in it) has returned.
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isConnect() && n.high() == 2; }, test::kEventWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nothing more comes: a short look
    const std::vector<Notification> all = server.host().all();
    // The connect being handled is recorded once its handler returns: the stop
    // had already told of both departures by then, and nothing came after.
    ASSERT_EQ(all.size(), seenWhenStopped.load() + 1);
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isDisconnect(); }).size(), 2u);
    EXPECT_TRUE(all.back().isConnect());
}

}  // namespace
}  // namespace ks318
