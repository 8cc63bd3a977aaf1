// The host's whole round: files sent to a simulated terminal that stores them,
// fetched back, and its media list kept and read as the flat list; the gates.
#include <gtest/gtest.h>

#include "ks318.h"
#include "sim/file_store.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;
using test::Notification;

class FileExports : public ::testing::Test {
protected:
    // The n-th notification 98 of the session; its extra value, or 0xDEAD when none came.
    std::uint32_t fileNotice(std::size_t n) {
        auto match = [](const Notification &note) { return note.isData(KQ_NOTIFY_FILE); };
        if (!session_.host().waitFor(match, test::kEventWaitMs, n)) return 0xDEAD;
        return session_.host().matching(match)[n - 1].high();
    }

    test::TempDir dir_;
    test::ExportSession session_;
};

TEST_F(FileExports, FilesGoToTheTerminalAndComeBackAsTheyWere) {
    auto terminal = session_.join();
    auto store = sim::installFileStore(*terminal, dir_ / "terminal");
    const Bytes image = test::patternBytes(300000);
    ASSERT_EQ(kq_sendfile(1, dir_.write("host/image.jpg", image).c_str(), "MEDIA/a.jpg"), 300000);
    EXPECT_EQ(kq_reqfile(1, "MEDIA/a.jpg"), 1);
    EXPECT_EQ(fileNotice(1), 1u);

    std::vector<std::uint8_t> data(300000, 0);
    char name[128] = {};
    std::int32_t size = -7;
    EXPECT_EQ(kq_getfile(1, name, &size, data.data()), 1);
    EXPECT_STREQ(name, "MEDIA/a.jpg");
    EXPECT_EQ(size, 300000);
    EXPECT_TRUE(data == image);
    EXPECT_EQ(kq_getfile(1, name, &size, data.data()), 0);

    EXPECT_EQ(kq_reqfile(1, "MEDIA/none.jpg"), 1);  // the terminal has no such file
    EXPECT_EQ(fileNotice(2), 0u);
    EXPECT_EQ(kq_getfile(1, name, &size, data.data()), 1);
    EXPECT_STREQ(name, "MEDIA/none.jpg");
    EXPECT_EQ(size, 0);
    auto request = terminal->waitForFrame(97, test::kEventWaitMs, 2);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->wire(), sim::concat({Bytes{0x02, 97, 0}, sim::le32(128), sim::field("MEDIA/none.jpg", 128)}));
}

TEST_F(FileExports, TheTerminalsMediaListIsKeptAndReadBackFlat) {
    test::WorkingDirectory cwd(dir_.path());
    ASSERT_GT(InitKQ318(), 0);
    std::filesystem::create_directory(dir_ / "Config_Terminal");
    auto terminal = session_.join();
    auto store = sim::installFileStore(*terminal, dir_ / "terminal");
    const char image[3] = {1, 2, 3};
    ASSERT_EQ(kq_sendfontfile(1, dir_.write("fonts/big.fnt", test::patternBytes(100)).c_str()), 100);
    ASSERT_EQ(kq_sendfileptr(1, "MEDIA/b.jpg", image, 3), 3);
    ASSERT_EQ(kq_sendfileptr(1, "MEDIA/a.jpg", image, 3), 3);
    ASSERT_EQ(kq_sendmediaconf(1, dir_.write("medias.conf", {'x'}).c_str()), 1);
    EXPECT_TRUE(session_.host().waitFor([](const Notification &n) { return n.isData(KQ_NOTIFY_ADV_RELOADED) && n.high() == 1; }, test::kEventWaitMs));

    EXPECT_EQ(kq_pedeallmedias(1), 1);
    EXPECT_EQ(fileNotice(1), 1u);
    const std::string expected =
        "[CONF_DIR]\r\nmedia1=medias.conf\r\n[FONTS_DIR]\r\nmedia1=big.fnt\r\n[MEDIA]\r\nmedia1=a.jpg\r\nmedia2=b.jpg\r\n";
    EXPECT_EQ(test::TempDir::read(dir_ / "Config_Terminal/all_medias.ini"), Bytes(expected.begin(), expected.end()));
    std::vector<char> out(255 * 256, '#');
    kq_getallmedias(1, out.data());
    std::vector<std::string> entries;
    for (int i = 0; i < 255 && out[i * 256] != '\0'; ++i) entries.emplace_back(&out[i * 256]);
    EXPECT_EQ(entries, (std::vector<std::string>{"CONF_DIR\\medias.conf", "FONTS_DIR\\big.fnt", "MEDIA\\a.jpg",
                                                 "MEDIA\\b.jpg"}));
}

TEST_F(FileExports, RequestsNeedVersion32AndTheMediaListModel320) {
    sim::Identity old;
    old.version = 31;
    old.model = 318;
    auto oldTerminal = session_.join(old);
    std::vector<char> out(255 * 256, '#');
    EXPECT_EQ(kq_reqfile(1, "x"), -1);
    EXPECT_EQ(kq_pedeallmedias(1), -1);
    kq_getallmedias(1, out.data());
    EXPECT_EQ(out[0], '#') << "a model 318 terminal's list is not read";
    EXPECT_EQ(kq_getfile(2, nullptr, nullptr, nullptr), -1);
    auto newTerminal = session_.join();
    EXPECT_EQ(kq_pedeallmedias(2), 1);
    auto request = newTerminal->waitForFrame(97, test::kEventWaitMs);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload, sim::field("CONF_DIR/all_medias.conf", 128));
    EXPECT_TRUE(oldTerminal->framesWithCode(97).empty());
}

}  // namespace
}  // namespace ks318
