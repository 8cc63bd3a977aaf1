// The test host's window: a message-only window on a thread of its own that runs
// a message loop, as a host's window thread does. Messages from WM_USER up are
// notifications; whether one was sent or posted is told by InSendMessage, so a
// notification delivered the wrong way is recorded as such.
#include "tests/support/host_window.h"

#include <windows.h>

#include <future>
#include <thread>

#include "tests/support/host_recorder.h"

namespace ks318::test {
namespace {

constexpr const char *kClassName = "KS318TestHostWindow";
constexpr WPARAM kSettleMarker = 0x5E77;  // WM_NULL with this wParam: lParam is an event to set

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *recorder = reinterpret_cast<HostRecorder *>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (recorder != nullptr && message >= WM_USER && message < 0xC000) {
        const auto w = static_cast<std::uint32_t>(wParam), l = static_cast<std::uint32_t>(lParam);
        if (InSendMessage())
            recorder->sent(message, w, l);
        else
            recorder->posted(message, w, l);
        return 0;
    }
    if (message == WM_NULL && wParam == kSettleMarker) {
        SetEvent(reinterpret_cast<HANDLE>(lParam));
        return 0;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class MessageWindow final : public HostWindow {
public:
    explicit MessageWindow(HostRecorder &recorder) {
        std::promise<HWND> created;
        std::future<HWND> handle = created.get_future();
        thread_ = std::thread([&recorder, &created] { run(recorder, created); });
        window_ = handle.get();
    }
    ~MessageWindow() override {
        if (window_ != nullptr) PostMessageA(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    void *target() override { return window_; }

    // Posted messages are handled in order: once a marker posted now comes
    // through, so has everything posted before it.
    void settle() override {
        if (window_ == nullptr || GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId()) return;
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (done == nullptr) return;
        if (PostMessageA(window_, WM_NULL, kSettleMarker, reinterpret_cast<LPARAM>(done)))
            WaitForSingleObject(done, kEventWaitMs);
        CloseHandle(done);
    }

private:
    static void run(HostRecorder &recorder, std::promise<HWND> &created) {
        static const ATOM windowClass = [] {
            WNDCLASSA description{};
            description.lpfnWndProc = windowProcedure;
            description.hInstance = GetModuleHandleA(nullptr);
            description.lpszClassName = kClassName;
            return RegisterClassA(&description);
        }();
        HWND window = windowClass != 0 ? CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                                         GetModuleHandleA(nullptr), nullptr)
                                       : nullptr;
        if (window != nullptr) SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&recorder));
        created.set_value(window);
        if (window == nullptr) return;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    }

    std::thread thread_;
    HWND window_ = nullptr;
};

}  // namespace

std::unique_ptr<HostWindow> openHostWindow(HostRecorder &recorder) { return std::make_unique<MessageWindow>(recorder); }

}  // namespace ks318::test
