// A stop ends every thread the library started for the server (connection
// threads and transfer workers) within its bound, and no notification reaches
// the host after it has returned, however slowly the host handles them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ks318.h"
#include "media/transfer_worker.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using test::Notification;
using test::TestServer;
using Clock = std::chrono::steady_clock;

// No probe drops an idle terminal while the test sets up.
ServerLimits quietLimits() {
    ServerLimits limits = test::fastLimits();
    limits.receiveLimitMs = 10000;
    return limits;
}

TEST(Stop, WaitsForTransferWorkersToEnd) {
    TestServer server(quietLimits());
    auto terminal = server.join();
    terminal->limitReadRate(64 * 1024);  // the file would take minutes
    test::TempDir dir;
    const auto path = dir.write("big.bin", sim::Bytes(16 * 1024 * 1024, 0x42));
    std::atomic<int> lastReport{1000};
    media::TransferRequest request{server.server().terminals().get(1), "big.bin", path.string(), 1000,
                                   [&](std::int32_t value) { lastReport = value; }, &server.server()};
    ASSERT_TRUE(media::startTransferWorker(std::move(request)));
    const auto started = Clock::now();
    while (lastReport.load() <= 0 && Clock::now() - started < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GT(lastReport.load(), 0) << "the transfer is under way";
    EXPECT_EQ(server.server().finish(), 0);
    EXPECT_EQ(lastReport.load(), -1) << "the worker had ended when the stop returned";
}

TEST(Stop, SlowHandlersDoNotStretchItAndNothingArrivesAfterItReturns) {
    // Room for every terminal's last handler even where one window thread
    // handles them all in turn (8 × 300 ms).
    ServerLimits limits = quietLimits();
    limits.stopWaitMs = 10000;
    TestServer server(limits);
    constexpr int kTerminals = 8;
    std::vector<std::unique_ptr<sim::SimTerminal>> terminals;
    for (int i = 0; i < kTerminals; ++i) terminals.push_back(server.join());
    ASSERT_TRUE(server.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_UID); }, test::kEventWaitMs, kTerminals));

    // Every key takes the host 300 ms, and each terminal has 20 keys waiting.
    std::atomic<int> handling{0};
    server.host().onData([&](const Notification &n) {
        if (!n.isData(KQ_NOTIFY_KEY)) return;
        ++handling;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    for (auto &terminal : terminals)
        for (int key = 0; key < 20; ++key) terminal->send(53, {static_cast<std::uint8_t>('a' + key)});
    const auto typing = Clock::now();
    while (handling.load() < kTerminals / 2 && Clock::now() - typing < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(handling.load(), kTerminals / 2);

    const auto start = Clock::now();
    EXPECT_EQ(server.server().finish(), 0);
    const auto took = Clock::now() - start;
    const std::size_t seenAtReturn = server.host().all().size();
    // Each connection thread ends its handler under way and dispatches nothing
    // more; it does not work through the 20 keys it had read (6 s each).
    EXPECT_LT(took, std::chrono::milliseconds(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(server.host().all().size(), seenAtReturn) << "a notification reached the host after the stop returned";
    EXPECT_EQ(server.host().matching([](const Notification &n) { return n.isDisconnect(); }).size(),
              static_cast<std::size_t>(kTerminals));
}

}  // namespace
}  // namespace ks318
