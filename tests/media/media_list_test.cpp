// Media lists on the host: the exact bytes of a saved list, the flat list read
// from the profile file, and rewrites that readers never see half done.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "media/media_list.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

using sim::Bytes;

Bytes bytesOf(const std::string &text) { return Bytes(text.begin(), text.end()); }

// The host's 255 slots of 256 bytes, filled with a mark so that untouched bytes show.
struct FlatList {
    std::vector<char> slots = std::vector<char>(255 * 256, '#');
    const char *entry(int i) const { return slots.data() + i * 256; }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (int i = 0; i < 255 && entry(i)[0] != '\0'; ++i) out.emplace_back(entry(i), strnlen(entry(i), 256));
        return out;
    }
};

TEST(SaveMediaList, WritesExactlyTheseBytes) {
    test::TempDir dir;
    const std::string path = (dir / "list.txt").string();
    char entries[4][256] = {};
    EXPECT_EQ(kq_savemedias(entries, path.c_str()), 1);
    EXPECT_EQ(test::TempDir::read(path), bytesOf("<\r\n>"));

    std::strcpy(entries[0], "A");
    std::strcpy(entries[1], "B\nC");  // a line feed inside an entry is written as CR LF too
    EXPECT_EQ(kq_savemedias(entries, path.c_str()), 1);
    EXPECT_EQ(test::TempDir::read(path), bytesOf("<\r\nA\r\nB\r\nC\r\n>"));

    std::memset(entries[0], 'e', 256);  // no zero within its slot: the slot ends it
    std::strcpy(entries[1], "D");
    EXPECT_EQ(kq_savemedias(entries, path.c_str()), 1);
    EXPECT_EQ(test::TempDir::read(path), bytesOf("<\r\n" + std::string(256, 'e') + "\r\nD\r\n>"));
}

TEST(SaveMediaList, FailuresAreReportedAsFailures) {
    test::TempDir dir;
    char entries[2][256] = {{'A'}};
    EXPECT_EQ(kq_savemedias(entries, (dir / "missing/list.txt").c_str()), -1);
    EXPECT_EQ(kq_savemedias(entries, "/dev/full"), -1) << "opened, but every write fails";
    EXPECT_EQ(kq_savemedias(entries, nullptr), -1);
    EXPECT_EQ(kq_savemedias(nullptr, (dir / "list.txt").c_str()), -1);
}

TEST(FlatMediaList, StopsAtGapsAndEmptyValuesAndReadsLikeAProfileFile) {
    test::TempDir dir;
    const std::string lines[] = {"[S1]", "media1=a", "media2=b", "media4=d", "[S2]", "media1=", "media2=z",
                                 "[S3]", "  MEDIA1 =  c  ", "media2=\"q r\"", "media10=skipped", "[S4]",
                                 "other=1", "[S5]", "media1=e"};
    for (const char *end : {"\r\n", "\n"}) {
        std::string text;
        for (const std::string &line : lines) text += line + end;
        const std::string path = dir.write("all_medias.ini", bytesOf(text)).string();
        FlatList list;
        media::readFlatMediaList(path, list.slots.data());
        EXPECT_EQ(list.entries(), (std::vector<std::string>{"S1\\a", "S1\\b", "S3\\c", "S3\\q r", "S5\\e"}))
            << "line ends " << (end[0] == '\r' ? "CR LF" : "LF");
    }
    FlatList missing;
    media::readFlatMediaList((dir / "none.ini").string(), missing.slots.data());
    EXPECT_EQ(missing.entry(0)[0], '\0');
    EXPECT_EQ(missing.entry(1)[0], '#') << "nothing written past the ending entry";
}

TEST(FlatMediaList, ValuesAreCutAt99CharactersAndTheListAt254Entries) {
    test::TempDir dir;
    std::string text = "[Long]\nmedia1=" + std::string(150, 'v') + "\n";
    for (const char *section : {"[A]", "[B]", "[C]"}) {
        text += std::string(section) + "\n";
        for (int n = 1; n <= 100; ++n) text += "media" + std::to_string(n) + "=" + std::to_string(n) + "\n";
    }
    const std::string path = dir.write("all_medias.ini", bytesOf(text)).string();
    FlatList list;
    media::readFlatMediaList(path, list.slots.data());
    const std::vector<std::string> entries = list.entries();
    ASSERT_EQ(entries.size(), 254u);
    EXPECT_EQ(entries[0], "Long\\" + std::string(99, 'v'));
    EXPECT_EQ(entries[1], "A\\1");
    EXPECT_EQ(entries[101], "B\\1");
    EXPECT_EQ(entries[253], "C\\53");
    EXPECT_EQ(list.entry(254)[0], '\0');
}

TEST(FlatMediaList, AReaderSeesTheOldListOrTheNewOneNeverHalfOfOne) {
    test::TempDir dir;
    const std::string path = (dir / "all_medias.ini").string();
    std::string first, second;
    for (int n = 1; n <= 200; ++n) first += "[F" + std::to_string(n) + "]\nmedia1=" + std::string(90, 'f') + "\n";
    for (int n = 1; n <= 3; ++n) second += "[S" + std::to_string(n) + "]\nmedia1=s\n";
    ASSERT_TRUE(media::storeMediaList(path, reinterpret_cast<const std::uint8_t *>(first.data()), first.size()));

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            const std::string &text = i % 2 ? first : second;
            EXPECT_TRUE(media::storeMediaList(path, reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        FlatList list;
        media::readFlatMediaList(path, list.slots.data());
        const std::size_t count = list.entries().size();
        ASSERT_TRUE(count == 200 || count == 3) << "a list of " << count << " entries was read";
        ++reads;
    }
    writer.join();
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST(MediaProfilePath, LiesBelowTheCapturedDirectory) {
    EXPECT_EQ(media::mediaProfilePath("/srv/host"), "/srv/host/Config_Terminal/all_medias.ini");
    EXPECT_EQ(media::mediaProfilePath(""), "/Config_Terminal/all_medias.ini") << "before InitKQ318";
}

}  // namespace
}  // namespace ks318
