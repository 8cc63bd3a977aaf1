// A host whose address space is nearly full: files and pictures far larger than
// what is left are refused with the exports' fail values, and the host lives on.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ks318.h"
#include "tests/support/host_recorder.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their shadow memory needs the address space a limit takes away
#else
constexpr bool kSanitized = false;
#endif

// A file of `bytes` that takes no room on disk.
std::string sparseFile(const test::TempDir &dir, const std::string &name, std::uintmax_t bytes) {
    const std::filesystem::path path = dir / name;
    std::ofstream(path).put('\0');
    std::filesystem::resize_file(path, bytes);
    return path.string();
}

long addressSpaceKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
    return 0;
}

// Runs in a child process: 0 when every call gave its fail value.
int refuseEverythingTooLarge(const std::string &file, const std::string &picture) {
    test::ExportSession session;
    auto terminal = session.join();
    // About 500 MB of address space left: the 1 GB files cannot be held.
    const rlimit limit{static_cast<rlim_t>(addressSpaceKiB() + 500 * 1024) * 1024, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return 10;
    if (kq_sendfile(1, file.c_str(), "big.bin") != 0) return 1;
    if (kq_sendimgfromfile(1, picture.c_str()) != 0) return 2;
    if (kq_sendlive(1) != 7) return 3;  // and the library goes on
    return 0;
}

TEST(MemoryLimitDeathTest, FilesLargerThanTheAddressSpaceLeftAreRefusedNotThrown) {
    if (kSanitized) GTEST_SKIP() << "sanitizers reserve the address space a limit would take";
    test::TempDir dir;
    const std::string file = sparseFile(dir, "huge.bin", std::uintmax_t{1} << 30);
    const std::string picture = sparseFile(dir, "huge.jpg", std::uintmax_t{1} << 30);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(refuseEverythingTooLarge(file, picture)), ::testing::ExitedWithCode(0), "");
}

TEST(MemoryLimit, AHundredGigabytePictureIsRefusedWithoutBeingRead) {
    test::TempDir dir;
    const std::string picture = sparseFile(dir, "huge.jpg", std::uintmax_t{100} << 30);
    test::ExportSession session;
    auto terminal = session.join();
    terminal->clearFrames();
    EXPECT_EQ(kq_sendimgfromfile(1, picture.c_str()), 0);
    EXPECT_EQ(kq_sendfile(1, picture.c_str(), "huge.jpg"), 0);
    EXPECT_EQ(kq_sendlive(1), 7);
    ASSERT_TRUE(terminal->waitForFrame(17, test::kEventWaitMs).has_value());
    EXPECT_EQ(terminal->frames().size(), 1u) << "nothing but the live signal was sent";
}

}  // namespace
}  // namespace ks318
