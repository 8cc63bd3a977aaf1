#include "tests/support/process_usage.h"

#include <malloc.h>

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

namespace ks318::test {
namespace {

PROCESS_MEMORY_COUNTERS memoryCounters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters;
}

}  // namespace

// Sockets are handles too: an unclosed socket shows in the count.
int openDescriptors() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

int runningThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

long residentKiB() { return static_cast<long>(memoryCounters().WorkingSetSize / 1024); }

long residentInUseKiB() {
    _heapmin();
    return residentKiB();
}

long peakVirtualKiB() { return static_cast<long>(memoryCounters().PeakPagefileUsage / 1024); }

}  // namespace ks318::test
