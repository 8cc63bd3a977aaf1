// The library's real frame deadline: 15 s plus 1 s per 64 KiB of the frame.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "ks318.h"
#include "tests/support/host_recorder.h"
#include "tests/support/socket_pair.h"

namespace ks318 {
namespace {

using test::Notification;
using Clock = std::chrono::steady_clock;

TEST(RealDeadline, AnImageToATerminalThatStopsReadingFailsAtItsDeadlineAndEndsTheConnection) {
    test::ExportSession session;
    // A model 320 terminal that identifies itself and then reads nothing more.
    port::SocketHandle stuck = port::connectTcp("127.0.0.1", session.port());
    std::uint8_t greeting[7];
    ASSERT_EQ(test::readExactly(stuck, greeting, 7, test::kEventWaitMs), 7);
    const sim::Bytes identify = sim::encodeFrame(20, {32, 0x01, 0x40, 0});
    ASSERT_EQ(port::sendSome(stuck, identify.data(), static_cast<int>(identify.size())), 11);
    ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isConnect(); }, test::kEventWaitMs));

    std::vector<std::uint8_t> palette(768, 1), pixels(130560, 2);
    // The first images fill what the sockets hold; the one that finds no more
    // room fails once its deadline has passed: 15 s + 131,335 bytes at 64 KiB/s.
    constexpr long long kDeadlineMs = 15000 + 131335LL * 1000 / 65536;
    int result = 1;
    long long failedAfterMs = 0;
    for (int i = 0; i < 200 && result == 1; ++i) {
        const auto start = Clock::now();
        result = kq_sendimage(1, palette.data(), pixels.data());
        failedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
    EXPECT_EQ(result, -1);
    EXPECT_GE(failedAfterMs, kDeadlineMs - 50);
    EXPECT_LT(failedAfterMs, kDeadlineMs + 10000);
    EXPECT_TRUE(session.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, test::kEventWaitMs));
    EXPECT_EQ(kq_sendlive(1), 0) << "the terminal has left the table";
    port::closeSocket(stuck);
}

}  // namespace
}  // namespace ks318
