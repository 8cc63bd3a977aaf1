// Files a terminal sends back (code 98): the pending file's states as the host
// collects them, refusals that keep the stream in step, the media list, and
// answers that arrive slowly, stall or lie about their size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <tuple>

#include "media/file_request.h"
#include "tests/support/host_recorder.h"
#include "tests/support/process_usage.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::encodeFrame;
using test::Notification;
using test::patternBytes;

Bytes answer(const std::string &name, std::uint32_t found, const Bytes &contents = {}) {
    return concat({sim::field(name, 128), sim::le32(found), contents});
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

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

    // Waits for the n-th notification 98; its extra value, 0xDEAD when none came.
    std::uint32_t fileNotice(std::size_t n, int timeoutMs = 3000) {
        auto match = [](const Notification &note) { return note.isData(98); };
        if (!host().waitFor(match, timeoutMs, n)) return 0xDEAD;
        return host().matching(match)[n - 1].high();
    }

    std::uint32_t send(const Bytes &payload) {
        terminal_->send(98, payload);
        return fileNotice(++answers_);
    }

    // What the host collects: result, name, size, and the bytes written into its
    // buffer (up to the last one that changed).
    std::tuple<std::int32_t, std::string, std::int32_t, Bytes> collect(std::size_t room = 64) {
        Bytes data(room, 0xFF);  // a value the pattern never takes
        char name[128];
        std::memset(name, 'x', sizeof name);
        std::int32_t size = -7;
        const std::int32_t result = media::collectPendingFile(*record_, name, &size, data.data());
        auto last = std::find_if(data.rbegin(), data.rend(), [](std::uint8_t b) { return b != 0xFF; });
        data.resize(static_cast<std::size_t>(data.rend() - last));
        return {result, std::string(name, strnlen(name, sizeof name)), size, data};
    }

    void expectStillInStep(std::uint8_t key) {
        terminal_->send(53, {key});
        EXPECT_TRUE(host().waitFor([&](const Notification &n) { return n.isData(53) && n.high() == key; }, 2000))
            << "the frame after the answer was not understood";
    }

    using Collected = std::tuple<std::int32_t, std::string, std::int32_t, Bytes>;
    test::TempDir dir_;
    test::TestServer server_;  // 300 ms receive limit
    std::unique_ptr<sim::SimTerminal> terminal_;
    TerminalRef record_;
    std::size_t answers_ = 0;
};

TEST_F(Reception, StatesAsTheHostCollects) {
    EXPECT_EQ(collect(), Collected(1, "", 0, {}));  // initial
    EXPECT_EQ(collect(), Collected(0, "", 0, {}));  // collected

    EXPECT_EQ(send(answer("DIR/none.bin", 0)), 0u);  // no data
    EXPECT_EQ(collect(), Collected(1, "DIR/none.bin", 0, {}));
    EXPECT_EQ(collect(), Collected(0, "", 0, {}));
    // Bytes behind a found flag of 0 are dropped by their length, not taken as the file.
    EXPECT_EQ(send(answer("DIR/odd.bin", 0, Bytes(3000, 0x02))), 0u);
    EXPECT_EQ(collect(), Collected(1, "DIR/odd.bin", 0, {}));
    expectStillInStep('n');

    EXPECT_EQ(send(answer("DIR/file.bin", 1, patternBytes(5000))), 1u);  // waiting
    EXPECT_EQ(collect(6000), Collected(1, "DIR/file.bin", 5000, patternBytes(5000)));
    EXPECT_EQ(collect(), Collected(0, "", 0, {}));
}

TEST_F(Reception, AWaitingFileRefusesTheNextAnswerWhichIsReadAndDropped) {
    EXPECT_EQ(send(answer("first", 1, patternBytes(3000))), 1u);
    // The refused answer's bytes start with 0x02 all over: read as headers, they would show.
    EXPECT_EQ(send(answer("second", 1, Bytes(70000, 0x02))), 0u);
    expectStillInStep('k');
    EXPECT_EQ(collect(4000), Collected(1, "first", 3000, patternBytes(3000)));
    EXPECT_EQ(send(answer("second", 1, {1, 2})), 1u) << "accepted again once collected";
    EXPECT_EQ(collect(), Collected(1, "second", 2, {1, 2}));
    EXPECT_EQ(send(Bytes(100, 0x02)), 0u) << "too short for its head";
    expectStillInStep('s');
}

TEST_F(Reception, TheMediaListGoesToTheProfileFileNotToTheHost) {
    // Without a Config_Terminal directory (nothing creates it) the list is lost,
    // yet it was received: the event's value tells the two apart.
    EventStack::Event event{};
    int remaining = -1;
    EXPECT_EQ(send(answer("CONF_DIR/all_medias.conf", 1, text("[A]"))), 1u);
    ASSERT_TRUE(record_->events.pop(event, remaining));
    EXPECT_EQ(event.code, 98);
    EXPECT_EQ(event.value, 0);

    std::filesystem::create_directory(dir_ / "Config_Terminal");
    const Bytes contents = concat({text("[A]\nmedia1=x\n\n[B]\r\nmedia1=y\n"), {0}, text("junk")});
    EXPECT_EQ(send(answer("CONF_DIR/all_medias.conf", 1, contents)), 1u);
    const Bytes expected = text("[A]\r\nmedia1=x\r\n\r\n[B]\r\r\nmedia1=y\r\n");  // up to the zero, each LF as CR LF
    EXPECT_EQ(test::TempDir::read(dir_ / "Config_Terminal/all_medias.ini"), expected);
    ASSERT_TRUE(record_->events.pop(event, remaining));
    EXPECT_EQ(event.value, 1);
    // Stored: the host gets the name and the size, no bytes.
    EXPECT_EQ(collect(), Collected(1, "CONF_DIR/all_medias.conf", static_cast<std::int32_t>(contents.size()), {}));

    // A name that differs only in case is an ordinary file.
    EXPECT_EQ(send(answer("conf_dir/ALL_MEDIAS.conf", 1, text("[Z]"))), 1u);
    EXPECT_EQ(test::TempDir::read(dir_ / "Config_Terminal/all_medias.ini"), expected);
    EXPECT_EQ(collect(), Collected(1, "conf_dir/ALL_MEDIAS.conf", 3, text("[Z]")));
}

TEST_F(Reception, AMultiMegabyteFileInSmallSlowPiecesArrivesWhole) {
    const Bytes contents = patternBytes(2 * 1024 * 1024 + 5);
    // Over 2,000 pieces, each its own delivery, and far longer than the receive limit in all.
    ASSERT_TRUE(terminal_->sendInPieces(encodeFrame(98, answer("big.bin", 1, contents)), 1000, 1));
    EXPECT_EQ(fileNotice(1, 20000), 1u);
    EXPECT_TRUE(collect(contents.size()) == Collected(1, "big.bin", static_cast<std::int32_t>(contents.size()), contents));

    // Pauses just under the limit between pieces do not end it either.
    ASSERT_TRUE(terminal_->sendInPieces(encodeFrame(98, answer("slow.bin", 1, patternBytes(600))), 100, 200));
    EXPECT_EQ(fileNotice(2, 5000), 1u);
    EXPECT_EQ(collect(600), Collected(1, "slow.bin", 600, patternBytes(600)));
}

TEST_F(Reception, AStalledAnswerEndsTheConnectionAndIsNotHandedOverAsWhole) {
    terminal_->sendRaw(concat({encodeFrame(98, 132 + 10000, answer("stalled.bin", 1)), patternBytes(500)}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fileNotice(1, 3000), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(collect(), Collected(1, "stalled.bin", 0, {})) << "no size is claimed for bytes that did not arrive";
    // The rest of the answer would be read as headers: the terminal reconnects in step instead.
    EXPECT_TRUE(terminal_->waitDisconnected(3000));
    EXPECT_TRUE(host().waitFor([](const Notification &n) { return n.isDisconnect(); }, 3000));
}

TEST_F(Reception, AnAnswerBetweenOtherFramesInOneWriteTakesExactlyItsBytes) {
    // Frames before and after the answer share its receives: none may be lost
    // to the file, nor any of the file's bytes to the frames.
    const Bytes contents = patternBytes(40000);
    ASSERT_TRUE(terminal_->sendRaw(concat({encodeFrame(53, Bytes{'b'}), encodeFrame(98, answer("mid.bin", 1, contents)),
                                           encodeFrame(53, Bytes{'a'})})));
    EXPECT_EQ(fileNotice(1), 1u);
    EXPECT_TRUE(host().waitFor([](const Notification &n) { return n.isData(53) && n.high() == 'a'; }, 2000));
    const auto order = host().matching([](const Notification &n) { return n.isData(53) || n.isData(98); });
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0].high(), 'b');
    EXPECT_TRUE(order[1].isData(98));
    EXPECT_EQ(order[2].high(), 'a');
    EXPECT_TRUE(collect(contents.size()) == Collected(1, "mid.bin", 40000, contents));
}

TEST_F(Reception, AnAnnouncedSizeSetsNoMemoryAside) {
    const long before = test::peakVirtualKiB();
    ASSERT_GT(before, 0);
    terminal_->sendRaw(concat({encodeFrame(98, 0x7FFFFF00, answer("liar.bin", 1)), patternBytes(1000)}));
    EXPECT_EQ(fileNotice(1, 3000), 0u);
    EXPECT_LT(test::peakVirtualKiB() - before, 256 * 1024) << "about 2 GB were announced, 1,000 bytes came";
    EXPECT_TRUE(terminal_->waitDisconnected(3000)) << "the answer stalled part-way";
}

}  // namespace
}  // namespace ks318
