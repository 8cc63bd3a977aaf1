// The reception lock of a terminal's pending file. The connection thread holds
// it for a whole reception, so a host thread that collects meanwhile waits,
// polling every millisecond rather than spinning for the length of a transfer.
#pragma once

#include "port/clock.h"
#include "server/terminal.h"

namespace ks318::media {

class ReceptionGuard {
public:
    explicit ReceptionGuard(TTerminal &terminal) : gate_(terminal.receptionLock) {
        while (!gate_.tryTake()) port::sleepMs(1);
    }
    ~ReceptionGuard() { gate_.release(); }
    ReceptionGuard(const ReceptionGuard &) = delete;
    ReceptionGuard &operator=(const ReceptionGuard &) = delete;

private:
    SpinGate &gate_;
};

}  // namespace ks318::media
