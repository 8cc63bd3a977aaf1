// File answers (code 98) against the library's own limits, in real time, through
// the exports: an answer may take longer than the 15 s receive limit in all as
// long as it is never silent that long, and must be whole within 30 s plus 1 s
// per 64 KiB of what may be kept. Two terminals answer at once, so one slow
// answer neither holds up nor is held up by the other's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "ks318.h"
#include "media/file_reception.h"
#include "tests/support/host_recorder.h"
#include "tests/support/trickle.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using test::Trickle;

using sim::Bytes;
using test::Notification;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes answer(const std::string &name, std::uint32_t found) {
    return sim::concat({sim::field(name, 128), sim::le32(found)});
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

std::uint32_t handleOf(const TerminalRef &record) {
    return record ? static_cast<std::uint32_t>(record->socket()) & 0xFFFF : 0xFFFFFFFF;
}

TEST(ReceptionDeadline, WithTheRealLimitsASlowAnswerArrivesWhileOneThatNeverEndsIsCutAfter30Seconds) {
    test::ExportSession session;
    test::HostRecorder &host = session.host();
    auto slow = session.join();   // terminal 1
    auto stuck = session.join();  // terminal 2
    const std::uint32_t slowHandle = handleOf(session.record(1));
    const std::uint32_t stuckHandle = handleOf(session.record(2));
    ASSERT_NE(slowHandle, stuckHandle);
    const auto fileNoticeOf = [](std::uint32_t handle) {
        return [handle](const Notification &n) { return n.isData(KQ_NOTIFY_FILE) && n.low() == handle; };
    };
    const auto disconnectOf = [](std::uint32_t handle) {
        return [handle](const Notification &n) { return n.isDisconnect() && n.high() == handle; };
    };

    // The slow one: 80 bytes in 8 pieces 1.8 s apart, about 14.4 s in all, never
    // 15 s silent. The stuck one: 1,000 bytes announced, one every 10 s, which
    // would take 10,000 s; its deadline is 30 s + 1,132 bytes at 64 KiB/s.
    const Bytes contents = test::patternBytes(80);
    const auto start = Clock::now();
    ASSERT_TRUE(slow->sendWithLength(98, media::kFileAnswerHeadBytes + 80, answer("MEDIA/slow.bin", 1)));
    Trickle slowPieces(*slow, contents, 10, milliseconds(1800));
    const auto stuckHead = Clock::now();
    ASSERT_TRUE(stuck->sendWithLength(98, media::kFileAnswerHeadBytes + 1000, answer("MEDIA/stuck.bin", 1)));
    Trickle stuckPieces(*stuck, test::patternBytes(1000), 1, milliseconds(10000));

    ASSERT_TRUE(host.waitFor(fileNoticeOf(slowHandle), 40000)) << "no notification for the slow answer";
    const long long slowMs = msSince(start);
    EXPECT_EQ(host.matching(fileNoticeOf(slowHandle)).front().high(), 1u);
    EXPECT_TRUE(host.matching(fileNoticeOf(stuckHandle)).empty()) << "the stuck answer ended early";
    Bytes data(200, 0xFF);
    char name[128];
    std::memset(name, 'x', sizeof name);
    std::int32_t size = -7;
    EXPECT_EQ(kq_getfile(1, name, &size, data.data()), 1);
    EXPECT_STREQ(name, "MEDIA/slow.bin");
    EXPECT_EQ(size, 80);
    EXPECT_TRUE(std::equal(contents.begin(), contents.end(), data.begin())) << "the slow answer's bytes differ";
    EXPECT_TRUE(std::all_of(data.begin() + 80, data.end(), [](std::uint8_t b) { return b == 0xFF; }))
        << "more than the file was written";
    // The slow terminal's connection goes on in step.
    ASSERT_TRUE(slow->send(53, {'s'}));
    const auto slowKey = [&](const Notification &n) {
        return n.isData(KQ_NOTIFY_KEY) && n.low() == slowHandle && n.high() == 's';
    };
    EXPECT_TRUE(host.waitFor(slowKey, test::kEventWaitMs));

    ASSERT_TRUE(host.waitFor(fileNoticeOf(stuckHandle), 60000)) << "no notification for the stuck answer";
    const long long stuckNoticeMs = msSince(stuckHead);
    EXPECT_EQ(host.matching(fileNoticeOf(stuckHandle)).front().high(), 0u);
    EXPECT_TRUE(stuck->waitDisconnected(test::kEventWaitMs)) << "the stuck terminal still has its connection";
    const long long stuckClosedMs = msSince(stuckHead);
    EXPECT_TRUE(host.waitFor(disconnectOf(stuckHandle), test::kEventWaitMs));
    stuckPieces.stop();
    std::cout << "slow answer received after " << slowMs << " ms; stuck answer noticed after " << stuckNoticeMs
              << " ms, closed after " << stuckClosedMs << " ms, " << stuckPieces.bytesSent() << " bytes trickled\n";

    // Cut by its deadline (30.017 s after its head arrived), not by the receive
    // limit and not left to trickle on.
    EXPECT_GE(stuckNoticeMs, 29000);
    EXPECT_LT(stuckClosedMs, 45000);
    const auto all = host.all();
    const auto notice = std::find_if(all.begin(), all.end(), fileNoticeOf(stuckHandle));
    const auto gone = std::find_if(all.begin(), all.end(), disconnectOf(stuckHandle));
    EXPECT_TRUE(notice != all.end() && gone != all.end() && notice < gone)
        << "the file notification did not come before the disconnect";
    // Only the stuck terminal went.
    EXPECT_FALSE(slow->disconnected());
    EXPECT_TRUE(host.matching(disconnectOf(slowHandle)).empty());
}

}  // namespace
}  // namespace ks318
