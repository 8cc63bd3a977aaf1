// Files a terminal sends back (code 98): the pending file's states as the host
// collects them, refusals that keep the stream in step, the media list, and
// answers that arrive slowly, stall or lie about their size.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "media/file_request.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::encodeFrame;
using sim::field;
using sim::le32;
using test::Notification;
using test::patternBytes;

constexpr std::uint8_t kUntouched = 0xEE;

struct Collected {
    std::int32_t result;
    std::string name;
    std::int32_t size;
    Bytes data;  // the host's buffer afterwards: kUntouched where nothing was written
};

Bytes answer(const std::string &name, std::uint32_t found, const Bytes &contents = {}) {
    return concat({field(name, 128), le32(found), contents});
}

class Reception : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_ = server_.join();
        record_ = server_.server().terminals().get(1);
        ASSERT_TRUE(record_);
        ASSERT_TRUE(host().waitFor([](const Notification &n) { return n.isData(28); }, 2000));
        server_.server().setBaseDir(dir_.path().string());
    }

    test::HostRecorder &host() { return server_.host(); }

    // Waits for the n-th notification 98 and returns its extra value.
    std::uint32_t fileNotice(std::size_t n, int timeoutMs = 3000) {
        auto match = [](const Notification &note) { return note.isData(98); };
        if (!host().waitFor(match, timeoutMs, n)) return 0xDEAD;
        return host().matching(match)[n - 1].high();
    }

    std::uint32_t send(const Bytes &payload) {
        terminal_->send(98, payload);
        return fileNotice(++answers_);
    }

    Collected collect(std::size_t room = 8 * 1024 * 1024) {
        Collected out{0, {}, -7, Bytes(room, kUntouched)};
        char name[128];
        std::memset(name, 'x', sizeof name);
        out.result = media::collectPendingFile(*record_, name, &out.size, out.data.data());
        out.name.assign(name, strnlen(name, sizeof name));
        return out;
    }

    static bool untouched(const Bytes &data) {
        return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == kUntouched; });
    }

    void expectStillInStep(std::uint8_t key) {
        terminal_->send(53, {key});
        EXPECT_TRUE(host().waitFor([&](const Notification &n) { return n.isData(53) && n.high() == key; }, 2000))
            << "the frame after the answer was not understood";
    }

    test::TempDir dir_;
    test::TestServer server_;  // 300 ms receive limit
    std::unique_ptr<sim::SimTerminal> terminal_;
    TerminalRef record_;
    std::size_t answers_ = 0;
};

TEST_F(Reception, StatesAsTheHostCollects) {
    Collected c = collect(64);  // initial: an empty name, size 0
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.name, "");
    EXPECT_EQ(c.size, 0);
    EXPECT_TRUE(untouched(c.data));
    c = collect(64);  // collected
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.name, "");
    EXPECT_EQ(c.size, 0);

    EXPECT_EQ(send(answer("DIR/none.bin", 0)), 0u);  // no data
    c = collect(64);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.name, "DIR/none.bin");
    EXPECT_EQ(c.size, 0);
    EXPECT_TRUE(untouched(c.data));
    EXPECT_EQ(collect(64).result, 0);
    // Bytes behind a found flag of 0 are dropped by their length, not taken as the file.
    EXPECT_EQ(send(answer("DIR/odd.bin", 0, Bytes(3000, 0x02))), 0u);
    c = collect(64);
    EXPECT_EQ(c.name, "DIR/odd.bin");
    EXPECT_EQ(c.size, 0);
    EXPECT_TRUE(untouched(c.data));
    expectStillInStep('n');

    EXPECT_EQ(send(answer("DIR/file.bin", 1, patternBytes(5000))), 1u);  // waiting
    c = collect(6000);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.name, "DIR/file.bin");
    EXPECT_EQ(c.size, 5000);
    EXPECT_EQ(Bytes(c.data.begin(), c.data.begin() + 5000), patternBytes(5000));
    EXPECT_TRUE(untouched(Bytes(c.data.begin() + 5000, c.data.end())));
    c = collect(64);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.name, "");
}

TEST_F(Reception, AWaitingFileRefusesTheNextAnswerWhichIsReadAndDropped) {
    EXPECT_EQ(send(answer("first", 1, patternBytes(3000))), 1u);
    // The refused answer's bytes start with 0x02 all over: read as headers, they would show.
    EXPECT_EQ(send(answer("second", 1, Bytes(70000, 0x02))), 0u);
    expectStillInStep('k');
    Collected c = collect();
    EXPECT_EQ(c.name, "first");
    EXPECT_EQ(c.size, 3000);
    EXPECT_EQ(send(answer("second", 1, {1, 2})), 1u) << "accepted again once collected";
    EXPECT_EQ(collect().name, "second");
}

TEST_F(Reception, AnswersTooShortForTheirHeadAreDropped) {
    terminal_->send(98, Bytes(100, 0x02));
    EXPECT_EQ(fileNotice(++answers_), 0u);
    expectStillInStep('s');
}

TEST_F(Reception, TheMediaListGoesToTheProfileFileNotToTheHost) {
    std::filesystem::create_directory(dir_ / "Config_Terminal");
    const std::string list = "[A]\nmedia1=x\n\n[B]\r\nmedia1=y\n";
    const Bytes contents = concat({Bytes(list.begin(), list.end()), {0}, {'j', 'u', 'n', 'k'}});
    EXPECT_EQ(send(answer("CONF_DIR/all_medias.conf", 1, contents)), 1u);

    const std::string expected = "[A]\r\nmedia1=x\r\n\r\n[B]\r\r\nmedia1=y\r\n";  // up to the zero, each LF as CR LF
    EXPECT_EQ(test::TempDir::read(dir_ / "Config_Terminal/all_medias.ini"), Bytes(expected.begin(), expected.end()));
    EventStack::Event event{};
    int remaining = -1;
    ASSERT_TRUE(record_->events.pop(event, remaining));
    EXPECT_EQ(event.code, 98);
    EXPECT_EQ(event.value, 1) << "the event tells the profile file was written";

    Collected c = collect(64);  // stored: name and size, no bytes
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.name, "CONF_DIR/all_medias.conf");
    EXPECT_EQ(c.size, static_cast<std::int32_t>(contents.size()));
    EXPECT_TRUE(untouched(c.data));

    // A name that differs only in case is an ordinary file.
    EXPECT_EQ(send(answer("conf_dir/ALL_MEDIAS.conf", 1, {'[', 'Z', ']'})), 1u);
    EXPECT_EQ(test::TempDir::read(dir_ / "Config_Terminal/all_medias.ini"), Bytes(expected.begin(), expected.end()));
    c = collect(64);
    EXPECT_EQ(c.name, "conf_dir/ALL_MEDIAS.conf");
    EXPECT_EQ(Bytes(c.data.begin(), c.data.begin() + 3), (Bytes{'[', 'Z', ']'}));
}

TEST_F(Reception, AMediaListThatCannotBeWrittenIsStillReportedAsReceived) {
    // No Config_Terminal directory: nothing creates it.
    EXPECT_EQ(send(answer("CONF_DIR/all_medias.conf", 1, {'[', 'A', ']'})), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "Config_Terminal"));
    EventStack::Event event{};
    int remaining = -1;
    ASSERT_TRUE(record_->events.pop(event, remaining));
    EXPECT_EQ(event.value, 0);
}

TEST_F(Reception, AMultiMegabyteFileInSmallSlowPiecesArrivesWhole) {
    const Bytes contents = patternBytes(2 * 1024 * 1024 + 5);
    // Over 2,000 pieces, each its own delivery, and far longer than the receive limit in all.
    ASSERT_TRUE(terminal_->sendInPieces(encodeFrame(98, answer("big.bin", 1, contents)), 1000, 1));
    EXPECT_EQ(fileNotice(1, 20000), 1u);
    Collected c = collect(contents.size());
    EXPECT_EQ(c.size, static_cast<std::int32_t>(contents.size()));
    EXPECT_TRUE(c.data == contents);

    // Pauses just under the limit between pieces do not end it either.
    ASSERT_TRUE(terminal_->sendInPieces(encodeFrame(98, answer("slow.bin", 1, patternBytes(600))), 100, 200));
    EXPECT_EQ(fileNotice(2, 5000), 1u);
    EXPECT_EQ(collect().size, 600);
}

TEST_F(Reception, AStalledAnswerEndsAfterTheReceiveLimitAndIsNotHandedOverAsWhole) {
    terminal_->sendRaw(concat({encodeFrame(98, 132 + 10000, answer("stalled.bin", 1)), patternBytes(500)}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fileNotice(1, 3000), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    Collected c = collect(64);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.name, "stalled.bin");
    EXPECT_EQ(c.size, 0) << "no size is claimed for bytes that did not arrive";
    EXPECT_TRUE(untouched(c.data));
    expectStillInStep('a');
}

// VmPeak of this process, in kB.
long peakVirtualKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
    return -1;
}

TEST_F(Reception, AnAnnouncedSizeSetsNoMemoryAside) {
    const long before = peakVirtualKb();
    ASSERT_GT(before, 0);
    terminal_->sendRaw(concat({encodeFrame(98, 0x7FFFFF00, answer("liar.bin", 1)), patternBytes(1000)}));
    EXPECT_EQ(fileNotice(1, 3000), 0u);
    EXPECT_LT(peakVirtualKb() - before, 256 * 1024) << "about 2 GB were announced, 1,000 bytes came";
    expectStillInStep('l');
}

TEST_F(Reception, ATerminalThatLeavesInTheMiddleOfAFileIsToldAsNoFile) {
    Bytes frame = encodeFrame(98, answer("half.bin", 1, patternBytes(10000)));
    frame.resize(frame.size() / 2);
    terminal_->sendRaw(frame);
    terminal_->close();
    EXPECT_EQ(fileNotice(1), 0u);
    EXPECT_TRUE(server_.waitForCount(0));
    EXPECT_EQ(collect(64).size, 0);
}

TEST(FileRequestCore, AFailedWriteIsNotReportedAsSent) {
    test::TestServer server;
    auto terminal = server.join();
    TerminalRef record = server.server().terminals().get(1);
    EXPECT_EQ(media::requestFile(*record, 200, "x"), 1);
    EXPECT_EQ(media::requestFile(*record, 200, std::string(128, 'n').c_str()), 0);
    ASSERT_TRUE(record->sendGate.take(0));
    EXPECT_EQ(media::requestFile(*record, 200, "x"), -2);
    record->sendGate.release();
    record->shutdownConnection();
    EXPECT_EQ(media::requestFile(*record, 200, "x"), -1);
}

}  // namespace
}  // namespace ks318
