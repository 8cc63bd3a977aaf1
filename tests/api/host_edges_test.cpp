// The host's edges: texts handed out stay valid, arguments out of range are
// refused, and nothing thrown inside the library reaches the host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "api/export_conventions.h"
#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318 {
namespace {

using test::ExportSession;
using test::Notification;

TEST(HostEdges, TheAddressTextOfATerminalStaysValidAfterItLeaves) {
    ExportSession session;
    auto terminal = session.join();
    const char *text = kq_ipfromid(1);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "127.0.0.1");
    terminal->close();
    ASSERT_TRUE(session.host().waitFor([](const Notification &n) { return n.isDisconnect(); }, test::kEventWaitMs));
    // The record is gone; the text the host holds is its own (an ASan build reports a read of freed memory otherwise).
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(kq_ipfromid(1), nullptr);
    // Each thread has its own copy, so one thread's call never changes another's text.
    const char *otherThreads = nullptr;
    std::thread([&] { otherThreads = kq_ipfromid(0); }).join();
    EXPECT_EQ(otherThreads, nullptr);
    EXPECT_STREQ(text, "127.0.0.1");
}

TEST(HostEdges, APortOutside16BitsStartsNothing) {
    test::HostRecorder host;
    for (int port : {-1, 65536, 70000, 82046}) {
        EXPECT_EQ(kq_startserverex(host.target(), 1025, 1026, "127.0.0.1", port), 0) << "port " << port;
        EXPECT_EQ(kq_getserverport(), 0) << "port " << port;
    }
    EXPECT_EQ(kq_finishserver(), -1) << "nothing was started";
}

TEST(HostEdges, ABlockWhoseLengthWouldWrapIsRefusedAndNothingIsSent) {
    ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    std::uint8_t pixels[16] = {};
    // 65,536 × 32,768 + 8 bytes does not fit the signed 32-bit length field.
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, 65536, 32768, pixels), 0);
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, 46341, 46341, pixels), 0);
    // A block that fits is announced and sent whole.
    EXPECT_EQ(kq_sendimageblock(1, 0, 0, 4, 4, pixels), 1);
    ASSERT_TRUE(terminal->waitForFrame(131, test::kEventWaitMs).has_value());
    EXPECT_EQ(terminal->frames().size(), 1u);
    EXPECT_EQ(terminal->frames()[0].length, 24);
}

TEST(HostEdges, AnExceptionInsideAnExportBecomesItsFailValue) {
    // Every export's body runs this way; a body that throws, as on exhausted
    // memory, gives the fail value and the host goes on.
    EXPECT_EQ(api::atBoundary(-1, []() -> int { throw std::bad_alloc(); }), -1);
    EXPECT_EQ(api::atBoundary<void *>(nullptr, []() -> void * { throw std::runtime_error("x"); }), nullptr);
    EXPECT_EQ(api::onTerminal(1, api::ExportRule{-1}, [](TTerminal &) -> int { throw std::bad_alloc(); }), -1)
        << "no terminal: the fail value before anything runs";
    ExportSession session;
    auto terminal = session.join();
    EXPECT_EQ(api::onTerminal(1, api::ExportRule{-1}, [](TTerminal &) -> int { throw std::bad_alloc(); }), -1);
    EXPECT_EQ(api::onTerminal(1, api::ExportRule{0}, [](TTerminal &) -> int { throw 42; }), 0);
    EXPECT_EQ(kq_sendlive(1), 7) << "the library goes on serving";
}

}  // namespace
}  // namespace ks318
