// How notifications reach the test host on this platform: through a
// KqHostTarget, or on Windows as messages to a window of the test's own.
#pragma once

#include <memory>

namespace ks318::test {

class HostRecorder;

class HostWindow {
public:
    virtual ~HostWindow() = default;
    // What the host passes as `window` at start.
    virtual void *target() = 0;
    // Returns once every notification posted so far has been recorded.
    virtual void settle() {}
};

std::unique_ptr<HostWindow> openHostWindow(HostRecorder &recorder);

}  // namespace ks318::test
