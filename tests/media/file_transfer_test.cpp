// Files sent to a terminal: the exact frame of code 99, the results, the names
// the library forms, and configuration files followed by their reload.
#include <gtest/gtest.h>

#include "media/file_request.h"
#include "media/file_transfer.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using sim::concat;
using test::patternBytes;

// The frame a terminal must see for a file: header, name field, contents.
Bytes fileFrame(const std::string &name, const Bytes &contents) {
    return concat({Bytes{0x02, 99, 0}, sim::le32(static_cast<std::uint32_t>(128 + contents.size())),
                   sim::field(name, 128), contents});
}

class FileTransfer : public ::testing::Test {
protected:
    void SetUp() override { terminal_ = session_.join(); }

    // The next frame of code 99 exactly as it travelled; empty when none came.
    Bytes nextFileFrame() {
        auto frame = terminal_->waitForFrame(99, test::kEventWaitMs, ++filesSeen_);
        return frame ? frame->wire() : Bytes{};
    }

    test::ExportSession session_;
    std::unique_ptr<sim::SimTerminal> terminal_;
    std::size_t filesSeen_ = 0;
    test::TempDir dir_;
};

TEST_F(FileTransfer, TheFrameIsHeaderNameFieldAndContents) {
    for (std::size_t size : {0u, 1u, 1024u, 1025u, 3u * 1024 * 1024 + 17}) {
        const Bytes data = patternBytes(size);
        EXPECT_EQ(kq_sendfileptr(1, "DIR/file.bin", reinterpret_cast<const char *>(data.data()),
                                 static_cast<std::uint32_t>(size)),
                  static_cast<std::int32_t>(size));
        // Compared whole, not printed: a difference in megabytes is no help.
        EXPECT_TRUE(nextFileFrame() == fileFrame("DIR/file.bin", data)) << "file of " << size << " bytes";
    }
}

TEST_F(FileTransfer, RefusalsSendNothing) {
    const char data[3] = {1, 2, 3};
    const std::string missing = (dir_ / "missing.bin").string();
    EXPECT_EQ(kq_sendfileptr(2, "x", data, 3), 0);
    EXPECT_EQ(kq_sendfileptr(1, std::string(128, 'n').c_str(), data, 3), 0) << "its zero would not fit the field";
    EXPECT_EQ(kq_sendfileptr(1, "x", nullptr, 3), 0);
    EXPECT_EQ(kq_sendfile(1, missing.c_str(), "x"), 0);
    EXPECT_EQ(kq_sendmediaconf(1, missing.c_str()), 0);
    // The longest name that fits; its frame is the first the terminal sees.
    EXPECT_EQ(kq_sendfileptr(1, std::string(127, 'n').c_str(), data, 3), 3);
    EXPECT_EQ(nextFileFrame(), fileFrame(std::string(127, 'n'), {1, 2, 3}));
    EXPECT_EQ(terminal_->framesWithCode(99).size(), 1u);
}

TEST_F(FileTransfer, FontsAreNamedByTheirFileNameUnderFontsDir) {
    test::WorkingDirectory cwd(dir_.path());
    const Bytes font = patternBytes(300);
    dir_.write("plain.fnt", font);
    dir_.write("fonts/a\\b.fnt", font);  // a backslash is an ordinary character in a file name here
    EXPECT_EQ(kq_sendfontfile(1, "plain.fnt"), 300);
    EXPECT_EQ(nextFileFrame(), fileFrame("FONTS_DIR/plain.fnt", font));
    EXPECT_EQ(kq_sendfontfile(1, "fonts/a\\b.fnt"), 300);
    EXPECT_EQ(nextFileFrame(), fileFrame("FONTS_DIR/b.fnt", font));
}

TEST_F(FileTransfer, ConfigurationFilesAreFollowedByTheReloadOnlyWhenBytesWentOut) {
    const Bytes contents{'a', '=', '1', '\n'};
    EXPECT_EQ(kq_sendmediaconf(1, dir_.write("empty.conf", {}).c_str()), 0);
    EXPECT_EQ(kq_sendmediaconf(1, dir_.write("medias.conf", contents).c_str()), 4);
    EXPECT_EQ(kq_sendpresencesensorconf(1, dir_.write("sensor.conf", contents).c_str()), 4);
    ASSERT_TRUE(terminal_->waitForFrame(117, test::kEventWaitMs, 2));

    std::vector<Bytes> seen;
    for (const sim::Frame &frame : terminal_->frames())
        if (frame.code == 99 || frame.code == 117) seen.push_back(frame.wire());
    const Bytes reload = concat({Bytes{0x02, 117, 0}, sim::le32(4), sim::le32(0)});
    EXPECT_EQ(seen, (std::vector<Bytes>{fileFrame("CONF_DIR/medias.conf", {}), fileFrame("CONF_DIR/medias.conf", contents),
                                        reload, fileFrame("CONF_DIR/presence_sensor.conf", contents), reload}));
}

// The core with short limits: a busy gate gives -2, a dead connection -1, never success.
TEST(FileTransferCore, FailuresAreNeverReportedAsSent) {
    test::TestServer server(test::steadyLimits());  // the terminal stays however slowly the test goes
    auto terminal = server.join();
    TerminalRef record = server.server().terminals().get(1);
    ASSERT_TRUE(record);
    const Bytes data = patternBytes(2000);

    ASSERT_TRUE(record->sendGate.take(test::kEventWaitMs));
    EXPECT_EQ(media::sendFileFromMemory(*record, 200, "f", data.data(), 2000), -2);
    EXPECT_EQ(media::requestFile(*record, 200, "f"), -2);
    record->sendGate.release();
    EXPECT_EQ(media::requestFile(*record, 200, "f"), 1);
    ASSERT_TRUE(terminal->waitForFrame(97, test::kEventWaitMs));
    EXPECT_TRUE(terminal->framesWithCode(99).empty()) << "the refused file sent nothing";

    record->shutdownConnection();
    EXPECT_EQ(media::sendFileFromMemory(*record, 200, "f", data.data(), 2000), -1);
    EXPECT_EQ(media::requestFile(*record, 200, "f"), -1);
    EXPECT_FALSE(record->sendGate.isBusy()) << "the gate is released after a failed write";
}

}  // namespace
}  // namespace ks318
