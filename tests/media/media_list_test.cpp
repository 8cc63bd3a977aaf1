// Media lists on the host: the exact bytes of a saved list, the flat list read
// from the profile file, and rewrites that readers never see half done.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "media/media_list.h"
#include "port/paths.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

sim::Bytes text(const std::string &s) { return sim::Bytes(s.begin(), s.end()); }

// The flat list read from `profile`, entry by entry; slots are marked first so
// that a missing end shows.
std::vector<std::string> flatList(const std::string &profile) {
    std::vector<char> slots(255 * 256, '#');
    media::readFlatMediaList(profile, slots.data());
    std::vector<std::string> entries;
    for (int i = 0; i < 255 && slots[i * 256] != '\0'; ++i) entries.emplace_back(&slots[i * 256], strnlen(&slots[i * 256], 256));
    return entries;
}

TEST(SaveMediaList, WritesExactlyTheseBytesAndReportsFailures) {
    test::TempDir dir;
    const std::string path = (dir / "list.txt").string();
    char entries[4][256] = {};
    EXPECT_EQ(kq_savemedias(entries, path.c_str()), 1);
    EXPECT_EQ(test::TempDir::read(path), text("<\r\n>"));
    std::strcpy(entries[0], "A");
    std::strcpy(entries[1], "B\nC");  // a line feed inside an entry is written as CR LF too
    EXPECT_EQ(kq_savemedias(entries, path.c_str()), 1);
    EXPECT_EQ(test::TempDir::read(path), text("<\r\nA\r\nB\r\nC\r\n>"));
    std::memset(entries[0], 'e', 256);  // no zero within its slot: the slot ends it
    EXPECT_EQ(kq_savemedias(entries, path.c_str()), 1);
    EXPECT_EQ(test::TempDir::read(path), text("<\r\n" + std::string(256, 'e') + "\r\nB\r\nC\r\n>"));

    EXPECT_EQ(kq_savemedias(entries, (dir / "missing/list.txt").c_str()), -1);
    EXPECT_EQ(kq_savemedias(entries, "/dev/full"), -1) << "opened, but every write fails";
    EXPECT_EQ(kq_savemedias(nullptr, path.c_str()), -1);
}

TEST(FlatMediaList, StopsAtGapsAndEmptyValuesAndReadsLikeAProfileFile) {
    test::TempDir dir;
    const std::string lines[] = {"[S1]", "media1=a", "media2=b", "media4=d", "[S2]", "media1=", "media2=z",
                                 "[S3]", "  MEDIA1 =  c  ", "media2=\"q r\"", "[S4]", "other=1", "[S5]", "media1=e"};
    for (const char *end : {"\r\n", "\n"}) {
        std::string file;
        for (const std::string &line : lines) file += line + end;
        EXPECT_EQ(flatList(dir.write("all_medias.ini", text(file)).string()),
                  (std::vector<std::string>{"S1\\a", "S1\\b", "S3\\c", "S3\\q r", "S5\\e"}))
            << "line ends " << (end[0] == '\r' ? "CR LF" : "LF");
    }
    EXPECT_TRUE(flatList((dir / "none.ini").string()).empty());
    const std::string separator(1, port::pathSeparator());
    EXPECT_EQ(media::mediaProfilePath(""), separator + "Config_Terminal" + separator + "all_medias.ini")
        << "before InitKQ318";
}

TEST(FlatMediaList, ValuesAreCutAt99CharactersAndTheListAt254Entries) {
    test::TempDir dir;
    std::string file = "[Long]\nmedia1=" + std::string(150, 'v') + "\n";
    for (const char *section : {"[A]", "[B]", "[C]"}) {
        file += std::string(section) + "\n";
        for (int n = 1; n <= 100; ++n) file += "media" + std::to_string(n) + "=" + std::to_string(n) + "\n";
    }
    const std::vector<std::string> entries = flatList(dir.write("all_medias.ini", text(file)).string());
    ASSERT_EQ(entries.size(), 254u);
    EXPECT_EQ(entries[0], "Long\\" + std::string(99, 'v'));
    EXPECT_EQ(entries[101], "B\\1");
    EXPECT_EQ(entries[253], "C\\53");
}

TEST(FlatMediaList, DuplicateSectionsAndKeysDifferingInCaseGiveTheFirst) {
    test::TempDir dir;
    const std::string file = "[Dup]\r\nmedia1=first\r\n"
                             "[DUP]\r\nmedia1=second\r\nmedia2=more\r\n"
                             "[Keys]\r\nMedia1=one\r\nmedia1=two\r\nmedia2=\r\nMEDIA2=three\r\n"
                             "[dup]\r\nmedia1=third\r\n";
    // Every section is listed under its own name, but each is answered from the
    // first section of that name; within a section the first key of a name answers.
    EXPECT_EQ(flatList(dir.write("all_medias.ini", text(file)).string()),
              (std::vector<std::string>{"Dup\\first", "DUP\\first", "Keys\\one", "dup\\first"}));
}

TEST(FlatMediaList, AReaderSeesTheOldListOrTheNewOneNeverHalfOfOne) {
    test::TempDir dir;
    const std::string path = (dir / "all_medias.ini").string();
    std::string big, small = "[S]\nmedia1=s\nmedia2=t\nmedia3=u\n";
    for (int n = 1; n <= 200; ++n) big += "[F" + std::to_string(n) + "]\nmedia1=" + std::string(90, 'f') + "\n";
    auto store = [&](const std::string &list) {
        return media::storeMediaList(path, reinterpret_cast<const std::uint8_t *>(list.data()), list.size());
    };
    ASSERT_TRUE(store(big));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) EXPECT_TRUE(store(i % 2 ? big : small));
        done = true;
    });
    for (int reads = 0; !done || reads == 0; ++reads) {
        const std::size_t count = flatList(path).size();
        ASSERT_TRUE(count == 200 || count == 3) << "a list of " << count << " entries was read";
    }
    writer.join();
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

}  // namespace
}  // namespace ks318
