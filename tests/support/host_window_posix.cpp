#include "tests/support/host_window.h"

#include "ks318.h"
#include "tests/support/host_recorder.h"

namespace ks318::test {
namespace {

class TargetWindow final : public HostWindow {
public:
    explicit TargetWindow(HostRecorder &recorder) : target_{&recorder, &post, &send} {}
    void *target() override { return &target_; }

private:
    static void post(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
        static_cast<HostRecorder *>(context)->posted(message, wParam, lParam);
    }
    static void send(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
        static_cast<HostRecorder *>(context)->sent(message, wParam, lParam);
    }

    KqHostTarget target_;
};

}  // namespace

std::unique_ptr<HostWindow> openHostWindow(HostRecorder &recorder) { return std::make_unique<TargetWindow>(recorder); }

}  // namespace ks318::test
