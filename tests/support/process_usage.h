// What the test process holds: open descriptors, threads, resident memory.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

namespace ks318::test {

inline int entriesIn(const char *directory) {
    int count = 0;
    if (DIR *dir = opendir(directory)) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

inline int openDescriptors() { return entriesIn("/proc/self/fd"); }
inline int runningThreads() { return entriesIn("/proc/self/task"); }

inline long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Declared first in a fixture, so it is made before and destroyed after
// everything else: the test fails if descriptors were left open.
class DescriptorWatch {
public:
    DescriptorWatch() : before_(openDescriptors()) {}
    ~DescriptorWatch() { EXPECT_EQ(openDescriptors(), before_) << "descriptors left open"; }
    DescriptorWatch(const DescriptorWatch &) = delete;
    DescriptorWatch &operator=(const DescriptorWatch &) = delete;

private:
    int before_;
};

}  // namespace ks318::test
