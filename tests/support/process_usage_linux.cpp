#include "tests/support/process_usage.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace ks318::test {
namespace {

int entriesIn(const char *directory) {
    int count = 0;
    if (DIR *dir = opendir(directory)) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

}  // namespace

int openDescriptors() { return entriesIn("/proc/self/fd"); }
int runningThreads() { return entriesIn("/proc/self/task"); }

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long residentInUseKiB() {
    malloc_trim(0);
    return residentKiB();
}

long peakVirtualKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
    return -1;
}

}  // namespace ks318::test
