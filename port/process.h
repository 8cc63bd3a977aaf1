// Child processes and the memory of this one, for the load driver of the
// benchmarks: many terminals are played in a process of their own, so that the
// server's process holds only the server.
#pragma once

#include <functional>

namespace ks318::port {

// Runs body in a child process (a copy of this one, made before any thread is
// started) and returns its id, or -1. The child ends with body's result.
int startChildProcess(const std::function<int()> &body);

// Waits for the child to end; its exit status, or -1.
int waitChildProcess(int id);

// Resident memory of this process in KiB (pages actually in memory), -1 when unknown.
long residentKib();

}  // namespace ks318::port
