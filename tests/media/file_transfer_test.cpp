// Files sent to a terminal: the exact frame of code 99, the results, the names
// the library forms, and configuration files followed by their reload.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "media/file_transfer.h"
#include "media/media_config.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using sim::field;
using sim::le32;
using test::patternBytes;

// The frame a terminal must see for a file: header, name field, contents.
Bytes fileFrame(const std::string &name, const Bytes &contents) {
    return concat({Bytes{0x02, 99, 0}, le32(static_cast<std::uint32_t>(128 + contents.size())), field(name, 128),
                   contents});
}

class FileTransfer : public ::testing::Test {
protected:
    void SetUp() override { terminal_ = session_.join(); }

    // The next frame of code 99 exactly as it travelled; empty when none came.
    Bytes nextFileFrame() {
        auto frame = terminal_->waitForFrame(99, 5000, ++filesSeen_);
        return frame ? frame->wire() : Bytes{};
    }

    test::ExportSession session_;
    std::unique_ptr<sim::SimTerminal> terminal_;
    std::size_t filesSeen_ = 0;
    test::TempDir dir_;
};

TEST_F(FileTransfer, FromMemoryTheFrameIsHeaderNameFieldAndContents) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1024}, std::size_t{1025},
                             std::size_t{3 * 1024 * 1024 + 17}}) {
        const Bytes data = patternBytes(size);
        EXPECT_EQ(kq_sendfileptr(1, "DIR/file.bin", reinterpret_cast<const char *>(data.data()),
                                 static_cast<std::uint32_t>(size)),
                  static_cast<std::int32_t>(size));
        // Compared whole, not printed: a difference in megabytes is no help.
        EXPECT_TRUE(nextFileFrame() == fileFrame("DIR/file.bin", data)) << "file of " << size << " bytes";
    }
}

TEST_F(FileTransfer, FromALocalFileTheSameFrameGoesOut) {
    const Bytes data = patternBytes(5000);
    const std::string path = dir_.write("local.bin", data).string();
    EXPECT_EQ(kq_sendfile(1, path.c_str(), "some/where.bin"), 5000);
    EXPECT_TRUE(nextFileFrame() == fileFrame("some/where.bin", data));

    const std::string empty = dir_.write("empty.bin", {}).string();
    EXPECT_EQ(kq_sendfile(1, empty.c_str(), "e"), 0);
    EXPECT_EQ(nextFileFrame(), fileFrame("e", {})) << "an empty file still goes out as its name";
}

TEST_F(FileTransfer, RefusalsSendNothing) {
    const std::string name127(127, 'n');
    const std::string name128(128, 'n');
    const char data[3] = {1, 2, 3};
    const std::string missing = (dir_ / "missing.bin").string();
    EXPECT_EQ(kq_sendfileptr(0, "x", data, 3), 0);
    EXPECT_EQ(kq_sendfileptr(2, "x", data, 3), 0);
    EXPECT_EQ(kq_sendfileptr(-1, "x", data, 3), 0);
    EXPECT_EQ(kq_sendfileptr(1, name128.c_str(), data, 3), 0) << "its ending zero would not fit the field";
    EXPECT_EQ(kq_sendfileptr(1, nullptr, data, 3), 0);
    EXPECT_EQ(kq_sendfileptr(1, "x", nullptr, 3), 0);
    EXPECT_EQ(kq_sendfile(1, missing.c_str(), "x"), 0);
    EXPECT_EQ(kq_sendfontfile(1, missing.c_str()), 0);
    EXPECT_EQ(kq_sendmediaconf(1, missing.c_str()), 0);
    // The longest name that fits, and the frame after the refusals is the first one.
    EXPECT_EQ(kq_sendfileptr(1, name127.c_str(), data, 3), 3);
    EXPECT_EQ(nextFileFrame(), fileFrame(name127, {1, 2, 3}));
    EXPECT_EQ(terminal_->framesWithCode(99).size(), 1u);
}

TEST_F(FileTransfer, FontsAreNamedByTheirFileNameUnderFontsDir) {
    test::WorkingDirectory cwd(dir_.path());
    const Bytes font = patternBytes(300);
    dir_.write("plain.fnt", font);
    dir_.write("fonts/a\\b.fnt", font);  // a backslash is an ordinary character in a file name here
    dir_.write("fonts/x/big.fnt", font);
    EXPECT_EQ(kq_sendfontfile(1, "plain.fnt"), 300);
    EXPECT_EQ(nextFileFrame(), fileFrame("FONTS_DIR/plain.fnt", font));
    EXPECT_EQ(kq_sendfontfile(1, "fonts/a\\b.fnt"), 300);
    EXPECT_EQ(nextFileFrame(), fileFrame("FONTS_DIR/b.fnt", font));
    EXPECT_EQ(kq_sendfontfile(1, (dir_ / "fonts/x/big.fnt").c_str()), 300);
    EXPECT_EQ(nextFileFrame(), fileFrame("FONTS_DIR/big.fnt", font));
}

TEST_F(FileTransfer, ConfigurationFilesAreFollowedByTheReloadOnlyWhenBytesWentOut) {
    const std::string empty = dir_.write("empty.conf", {}).string();
    const std::string conf = dir_.write("medias.conf", {'a', '=', '1', '\n'}).string();
    EXPECT_EQ(kq_sendmediaconf(1, empty.c_str()), 0);
    EXPECT_EQ(nextFileFrame(), fileFrame("CONF_DIR/medias.conf", {}));
    EXPECT_EQ(kq_sendmediaconf(1, conf.c_str()), 4);
    EXPECT_EQ(kq_sendpresencesensorconf(1, conf.c_str()), 4);
    ASSERT_TRUE(terminal_->waitForFrame(117, 3000, 2));

    std::vector<std::pair<std::uint16_t, Bytes>> seen;
    for (const sim::Frame &frame : terminal_->frames())
        if (frame.code == 99 || frame.code == 117) seen.emplace_back(frame.code, frame.wire());
    const Bytes reload = concat({Bytes{0x02, 117, 0}, le32(4), le32(0)});
    const Bytes contents{'a', '=', '1', '\n'};
    ASSERT_EQ(seen.size(), 5u) << "no reload after the empty file";
    EXPECT_EQ(seen[1].second, fileFrame("CONF_DIR/medias.conf", contents));
    EXPECT_EQ(seen[2].second, reload);
    EXPECT_EQ(seen[3].second, fileFrame("CONF_DIR/presence_sensor.conf", contents));
    EXPECT_EQ(seen[4].second, reload);
}

// The core with short limits: a busy gate and a dead connection.
TEST(FileTransferCore, ABusyGateGivesMinusTwoAndADeadConnectionMinusOne) {
    test::TestServer server;
    auto terminal = server.join();
    TerminalRef record = server.server().terminals().get(1);
    ASSERT_TRUE(record);
    const Bytes data = patternBytes(2000);

    ASSERT_TRUE(record->sendGate.take(0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(media::sendFileFromMemory(*record, 200, "f", data.data(), 2000), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    record->sendGate.release();
    EXPECT_EQ(media::sendFileFromMemory(*record, 200, "f", data.data(), 2000), 2000);
    ASSERT_TRUE(terminal->waitForFrame(99, 3000));
    EXPECT_EQ(terminal->framesWithCode(99).size(), 1u) << "the refused file sent nothing";

    record->shutdownConnection();
    EXPECT_EQ(media::sendFileFromMemory(*record, 200, "f", data.data(), 2000), -1);
    EXPECT_FALSE(record->sendGate.isBusy()) << "the gate is released after a failed write";
    test::TempDir dir;
    const std::string conf = dir.write("c.conf", data).string();
    EXPECT_EQ(media::sendConfigurationFile(*record, 200, conf.c_str(), "CONF_DIR/medias.conf"), -1);
}

}  // namespace
}  // namespace ks318
