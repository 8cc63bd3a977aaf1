// The media list at the largest size one terminal sends, read on systems whose
// profile files this library reads itself (elsewhere the system's own profile
// functions answer).
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/media_list.h"
#include "tests/support/temp_dir.h"

namespace ks318 {
namespace {

// The processor time this thread has used: what the reading itself costs, which
// other work on a busy machine does not stretch as it stretches the wall clock.
std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::vector<std::string> flatList(const std::string &profile) {
    constexpr int kSlots = media::kFlatListSlots;
    constexpr int kBytes = media::kMediaEntryBytes;
    std::vector<char> out(kSlots * kBytes, '#');  // marked, so that a missing end shows
    media::readFlatMediaList(profile, out.data());
    std::vector<std::string> entries;
    for (int i = 0; i < kSlots && out[i * kBytes] != '\0'; ++i) entries.emplace_back(&out[i * kBytes], strnlen(&out[i * kBytes], kBytes));
    return entries;
}

// The largest list one terminal can send: 40,000 sections of one entry each,
// about 960 KB. Reading it takes time in proportion to its size.
TEST(FlatMediaList, AListOf40000SectionsIsReadInLinearTime) {
    test::TempDir dir;
    constexpr int kSections = 40000;
    std::string file;
    file.reserve(kSections * 24);
    char section[32];
    for (int n = 0; n < kSections; ++n) {
        std::snprintf(section, sizeof section, "[s%05d]\r\nmedia1=%05d\r\n", n, kSections - n);
        file += section;
    }
    ASSERT_EQ(file.size(), 960000u);
    const std::string path = dir.write("all_medias.ini", sim::Bytes(file.begin(), file.end())).string();

    const auto start = std::chrono::steady_clock::now();
    const auto cpuStart = threadCpuTime();
    const std::vector<std::string> entries = flatList(path);
    const auto cpu = threadCpuTime() - cpuStart;
    const auto elapsed = std::chrono::steady_clock::now() - start;

    // flatList stops at the first empty slot: 254 entries means the slot after
    // the last one holds the empty entry that ends the list.
    ASSERT_EQ(entries.size(), 254u);
    for (int n = 0; n < 254; ++n) {
        std::snprintf(section, sizeof section, "s%05d\\%05d", n, kSections - n);
        ASSERT_EQ(entries[n], section) << "entry " << n;
    }
    // A generous bound for the slowest (sanitizer) builds: a read whose every
    // lookup walks the sections before it takes a minute there. Its own
    // processor time is measured; the wall clock is shown beside it.
    EXPECT_LT(cpu, std::chrono::seconds(5))
        << std::chrono::duration_cast<std::chrono::milliseconds>(cpu).count() << " ms of processor time, "
        << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms in all";
}

}  // namespace
}  // namespace ks318
