// The transfer worker: progress as the host sees it, one worker per terminal,
// and a terminal that goes away under a running worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "ks318.h"
#include "media/transfer_worker.h"
#include "server/server.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using test::patternBytes;

// Polls the host's progress word as a host does, until it reads `value`.
bool progressReaches(std::int32_t &word, std::int32_t value, int timeoutMs = test::kEventWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::atomic_ref<std::int32_t>(word).load() != value) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The contents of the n-th file frame the terminal received; empty when none came.
Bytes receivedFile(sim::SimTerminal &terminal, std::size_t n = 1) {
    auto frame = terminal.waitForFrame(99, test::kEventWaitMs, n);
    return frame && frame->payload.size() >= 128 ? Bytes(frame->payload.begin() + 128, frame->payload.end()) : Bytes{};
}

TEST(TransferWorker, ReportsEveryPieceThenTheEnd) {
    test::TestServer server(test::steadyLimits());  // the terminal stays however slowly the test goes
    auto terminal = server.join();
    test::TempDir dir;
    struct Case {
        std::size_t size;
        std::vector<std::int32_t> progress;
    };
    // 0 from the start, again from the worker, then after every 1024-byte piece.
    for (const Case &c : {Case{3000, {0, 0, 34, 68, 100, -1}}, Case{0, {0, 0, -1}}}) {
        const std::string path = dir.write("file.bin", patternBytes(c.size)).string();
        std::mutex mutex;
        std::condition_variable ended;
        std::vector<std::int32_t> seen;
        media::TransferRequest request{server.server().terminals().get(1), "DIR/file.bin", path, test::kEventWaitMs,
                                       [&](std::int32_t value) {
                                           std::lock_guard lock(mutex);
                                           seen.push_back(value);
                                           ended.notify_all();  // under the lock: the test may end right after
                                       }};
        ASSERT_TRUE(media::startTransferWorker(std::move(request)));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(ended.wait_for(lock, std::chrono::milliseconds(test::kEventWaitMs),
                                   [&] { return !seen.empty() && seen.back() == -1; }));
        EXPECT_EQ(seen, c.progress) << "file of " << c.size << " bytes";
    }
    EXPECT_EQ(receivedFile(*terminal, 1), patternBytes(3000));
    EXPECT_EQ(receivedFile(*terminal, 2), Bytes{});
}

class TransferWorkerExport : public ::testing::Test {
protected:
    test::ExportSession session_;
    test::TempDir dir_;
};

TEST_F(TransferWorkerExport, OneWorkerPerTerminalAndOthersRunBesideIt) {
    auto first = session_.join();
    auto second = session_.join();
    const Bytes contents = patternBytes(5000);
    const std::string path = dir_.write("file.bin", contents).string();
    TerminalRef record = session_.record(1);
    ASSERT_TRUE(record->sendGate.take(test::kEventWaitMs));  // the first worker waits at the gate meanwhile

    std::int32_t progressA = 55, progressB = 77, progressC = 99;
    EXPECT_EQ(kq_sendfileStatus(1, path.c_str(), "a.bin", &progressA), 1);
    EXPECT_EQ(std::atomic_ref<std::int32_t>(progressA).load(), 0);
    EXPECT_EQ(kq_sendfileStatus(1, path.c_str(), "b.bin", &progressB), -1);
    EXPECT_EQ(progressB, 77) << "a refused call leaves the host's word alone";
    EXPECT_EQ(kq_sendfileStatus(2, path.c_str(), "c.bin", &progressC), 1);
    EXPECT_TRUE(progressReaches(progressC, -1));
    EXPECT_EQ(receivedFile(*second), contents);

    record->sendGate.release();
    EXPECT_TRUE(progressReaches(progressA, -1));
    EXPECT_EQ(receivedFile(*first), contents);
    EXPECT_EQ(first->framesWithCode(99).size(), 1u) << "the refused call sent nothing";
    // Once the host has seen -1 the terminal takes the next worker.
    EXPECT_EQ(kq_sendfileStatus(1, path.c_str(), "b.bin", &progressB), 1);
    EXPECT_TRUE(progressReaches(progressB, -1));
}

TEST_F(TransferWorkerExport, WithoutAProgressWordTheFileStillGoesWhole) {
    auto terminal = session_.join();
    // A file that cannot be opened: the worker runs, sends nothing, and ends.
    std::int32_t progress = 5;
    EXPECT_EQ(kq_sendfileStatus(1, (dir_ / "missing").c_str(), "x", &progress), 1);
    EXPECT_TRUE(progressReaches(progress, -1));
    const Bytes contents = patternBytes(4096 + 3);
    EXPECT_EQ(kq_sendfileStatus(1, dir_.write("file.bin", contents).c_str(), "n.bin", nullptr), 1);
    EXPECT_EQ(receivedFile(*terminal), contents);
    EXPECT_EQ(terminal->framesWithCode(99).size(), 1u);
}

// The progress word only says that a worker ended; the outcome says whether
// every byte went, and why not, even once the terminal has gone (asked by id).
TEST_F(TransferWorkerExport, TheOutcomeSaysWhetherTheFileWentWholeAndWhyNot) {
    auto terminal = session_.join();
    std::uint32_t sent = 9, size = 9;
    EXPECT_EQ(kq_transferoutcome(1, &sent, &size), KQ_TRANSFER_NONE);
    EXPECT_EQ(kq_transferoutcome(2, &sent, &size), -1);
    EXPECT_EQ(std::string(kq_lastfailure()), "no terminal 2");

    std::int32_t progress = 5;
    const Bytes contents = patternBytes(3000);
    ASSERT_EQ(kq_sendfileStatus(1, dir_.write("file.bin", contents).c_str(), "a.bin", &progress), 1);
    ASSERT_TRUE(progressReaches(progress, -1));
    EXPECT_EQ(kq_transferoutcome(1, &sent, &size), KQ_TRANSFER_WHOLE);
    EXPECT_EQ(std::pair(sent, size), std::pair(3000u, 3000u));
    EXPECT_EQ(std::string(kq_lastfailure()), "");

    ASSERT_EQ(kq_sendfileStatus(1, (dir_ / "missing").c_str(), "b.bin", &progress), 1);
    ASSERT_TRUE(progressReaches(progress, -1));
    EXPECT_EQ(kq_transferoutcome(1, &sent, &size), KQ_TRANSFER_FAILED);
    EXPECT_EQ(std::pair(sent, size), std::pair(0u, 0u));
    EXPECT_NE(std::string(kq_lastfailure()).find("cannot be opened"), std::string::npos) << kq_lastfailure();

    // A worker waiting at the gate while its terminal leaves: it ends at its first write.
    TerminalRef record = session_.record(1);
    const std::int32_t id = record->id();
    ASSERT_TRUE(record->sendGate.take(test::kEventWaitMs));
    ASSERT_EQ(kq_sendfileStatus(1, dir_.write("big.bin", patternBytes(100000)).c_str(), "c.bin", &progress), 1);
    EXPECT_EQ(kq_transferoutcome(1, nullptr, nullptr), KQ_TRANSFER_RUNNING);
    ASSERT_TRUE(globalServer().terminals().remove(record.get()));
    record->sendGate.release();
    record.reset();
    ASSERT_TRUE(progressReaches(progress, -1));
    EXPECT_EQ(kq_transferoutcome(1, &sent, &size), -1) << "by number the terminal is gone";
    ASSERT_EQ(kq_addressby(KQ_ADDRESS_BY_ID), KQ_ADDRESS_BY_NUMBER);
    const std::int32_t outcome = kq_transferoutcome(id, &sent, &size);
    const std::string reason = kq_lastfailure();
    kq_addressby(KQ_ADDRESS_BY_NUMBER);
    EXPECT_EQ(outcome, KQ_TRANSFER_FAILED);
    EXPECT_EQ(std::pair(sent, size), std::pair(0u, 100000u));
    EXPECT_NE(reason, "");
    EXPECT_TRUE(terminal->framesWithCode(99).size() == 1u) << "only the whole file reached the terminal";
}

TEST(TransferWorker, KeepsItsTerminalsRecordAndEndsAtItsFirstWriteOnceTheTerminalIsGone) {
    test::TestServer server;  // the connection thread gives up on a busy gate after 1 s
    auto terminal = server.join();
    test::TempDir dir;
    const std::string path = dir.write("file.bin", patternBytes(100000)).string();
    TerminalRef record = server.server().terminals().get(1);
    ASSERT_TRUE(record->sendGate.take(test::kEventWaitMs));
    std::atomic<std::int32_t> last{5};
    // The worker waits at the gate for as long as the test may take.
    ASSERT_TRUE(media::startTransferWorker(
        {record, "gone.bin", path, test::kEventWaitMs, [&last](std::int32_t value) { last.store(value); }}));

    // The terminal leaves while its worker waits at the gate; its connection
    // thread ends and lets go of the record.
    ASSERT_TRUE(server.server().terminals().remove(record.get()));
    ASSERT_TRUE(server.host().waitFor([](const test::Notification &n) { return n.isDisconnect(); }, test::kEventWaitMs));
    std::weak_ptr<TTerminal> watched = record;
    TTerminal *raw = record.get();
    record.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a short look: the record stays
    ASSERT_FALSE(watched.expired()) << "the waiting worker holds the record";

    raw->sendGate.release();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kEventWaitMs);
    while (!watched.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(watched.expired()) << "the worker ends at its first failed write and lets go";
    EXPECT_EQ(last.load(), -1);
    EXPECT_TRUE(terminal->framesWithCode(99).empty());
}

}  // namespace
}  // namespace ks318
