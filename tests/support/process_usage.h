// What the test process holds: open descriptors (handles on Windows), threads,
// memory. Read from the system in process_usage_<platform>.cpp.
#pragma once

#include <gtest/gtest.h>

namespace ks318::test {

int openDescriptors();
int runningThreads();
long residentKiB();
// Resident memory once the allocator has handed back the free memory it keeps:
// what stays is memory in use, so growth between two quiet moments is a leak.
long residentInUseKiB();
// The most address space (committed memory on Windows) the process ever held.
long peakVirtualKiB();

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
