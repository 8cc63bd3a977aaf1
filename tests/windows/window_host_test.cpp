// KS318.dll as an existing Windows host uses it: loaded by name, every export
// looked up by its plain name, the server started with the host's window, and
// connect, data and disconnect arriving as window messages while a simulated
// terminal comes and goes over loopback.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "ks318.h"
#include "sim/sim_terminal.h"
#include "tests/support/waits.h"

namespace ks318 {
namespace {

constexpr UINT kConnectMessage = WM_USER + 17;
constexpr UINT kDataMessage = WM_USER + 18;
constexpr const char *kExportNames[] = {
#include "ks318_export_names.inc"
};

struct Message {
    UINT number;
    std::uint32_t wParam;
    std::uint32_t lParam;
    bool sent;  // by SendMessage from another thread, not posted
    int key;    // for a key notification: what Get_KBD_char read while it was handled
};

// The library, loaded as a host loads it.
class Library {
public:
    Library() : module_(LoadLibraryA("KS318.dll")) {}
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    bool loaded() const { return module_ != nullptr; }
    FARPROC find(const char *name) const { return GetProcAddress(module_, name); }
    template <typename Function>
    Function *get(Function *, const char *name) const {
        return reinterpret_cast<Function *>(reinterpret_cast<void *>(find(name)));
    }

private:
    HMODULE module_;
};

class HostWindow {
public:
    explicit HostWindow(const Library &library) : library_(library) {
        WNDCLASSA description{};
        description.lpfnWndProc = &HostWindow::procedure;
        description.hInstance = GetModuleHandleA(nullptr);
        description.lpszClassName = "KS318Host";
        RegisterClassA(&description);
        // A message-only window, as hosts keep for notifications (it needs no display).
        window_ = CreateWindowExA(0, "KS318Host", "KS318 host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        if (window_ != nullptr) SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~HostWindow() {
        if (window_ != nullptr) DestroyWindow(window_);
    }
    HWND handle() const { return window_; }
    const std::vector<Message> &messages() const { return messages_; }

    // Runs the message loop until `done` holds or the time is up.
    bool pumpUntil(const std::function<bool()> &done, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left.count(), 20)), QS_ALLINPUT);
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        }
        return true;
    }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT number, WPARAM wParam, LPARAM lParam) {
        auto *self = reinterpret_cast<HostWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self == nullptr || (number != kConnectMessage && number != kDataMessage))
            return DefWindowProcA(window, number, wParam, lParam);
        Message message{number, static_cast<std::uint32_t>(wParam), static_cast<std::uint32_t>(lParam),
                        InSendMessage() != FALSE, -1};
        if (number == kDataMessage && wParam == 53) {
            // The terminal's connection waits for this handler: the key is there to be read.
            auto getKey = self->library_.get(&Get_KBD_char, "Get_KBD_char");
            std::int32_t handle = 0;
            unsigned char key = 0;
            if (getKey != nullptr && getKey(&handle, &key) != 0) message.key = key;
        }
        self->messages_.push_back(message);
        return 0;
    }

    const Library &library_;
    HWND window_ = nullptr;
    std::vector<Message> messages_;
};

// The first message that matches, or nothing.
const Message *find(const std::vector<Message> &messages, const std::function<bool(const Message &)> &matches) {
    for (const Message &message : messages)
        if (matches(message)) return &message;
    return nullptr;
}

TEST(WindowHost, EveryExportIsFoundUnderItsPlainName) {
    Library library;
    ASSERT_TRUE(library.loaded()) << "KS318.dll did not load: " << GetLastError();
    int missing = 0;
    for (const char *name : kExportNames)
        if (library.find(name) == nullptr) {
            ++missing;
            ADD_FAILURE() << name << " is not exported";
        }
    EXPECT_EQ(missing, 0);
    EXPECT_GT(sizeof kExportNames / sizeof *kExportNames, 100u);
    // Decorated names would be a second, wrong export set.
    EXPECT_EQ(library.find("_kq_startserver@12"), nullptr);
    EXPECT_EQ(library.find("kq_startserver@12"), nullptr);
    auto version = library.get(&kq_version, "kq_version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 32);
}

TEST(WindowHost, ConnectDataAndDisconnectArriveAsWindowMessages) {
    Library library;
    ASSERT_TRUE(library.loaded());
    HostWindow host(library);
    ASSERT_NE(host.handle(), nullptr) << "no window: " << GetLastError();
    auto start = library.get(&kq_startserverex, "kq_startserverex");
    auto serverPort = library.get(&kq_getserverport, "kq_getserverport");
    auto finish = library.get(&kq_finishserver, "kq_finishserver");
    auto ident = library.get(&kq_getident, "kq_getident");
    ASSERT_TRUE(start && serverPort && finish && ident);

    ASSERT_EQ(start(host.handle(), kConnectMessage, kDataMessage, "127.0.0.1", 0), 1);
    const int port = serverPort();
    ASSERT_GT(port, 0);

    // The terminal runs beside the host's message loop: its handshake answers
    // are data notifications, which wait until this thread has handled them.
    sim::Identity identity;
    identity.model = 320;
    sim::SimTerminal terminal(identity);
    auto joined = std::async(std::launch::async, [&] { return terminal.connectAndIdentify("127.0.0.1", port); });
    ASSERT_TRUE(host.pumpUntil([&] { return joined.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
                               test::kEventWaitMs));
    ASSERT_TRUE(joined.get());
    const std::int32_t word = ident(1);  // b0 version, b1 b2 model number
    EXPECT_EQ((word >> 8 & 0xFF) * 256 + (word >> 16 & 0xFF), 320) << "the identification reached the library";

    ASSERT_FALSE(host.messages().empty());
    const Message connect = host.messages().front();
    EXPECT_EQ(connect.number, kConnectMessage) << "the host hears of the terminal before anything it sends";
    EXPECT_FALSE(connect.sent) << "connect is posted";
    EXPECT_EQ(connect.wParam, inet_addr("127.0.0.1"));
    EXPECT_EQ(connect.lParam, (1u << 16) | 1u) << "terminal number 1, connect";

    const auto isKey = [](const Message &m) { return m.number == kDataMessage && m.wParam == 53; };
    ASSERT_TRUE(terminal.send(53, {'k'}));
    ASSERT_TRUE(host.pumpUntil([&] { return find(host.messages(), isKey) != nullptr; }, test::kEventWaitMs))
        << "no key notification";
    const Message key = *find(host.messages(), isKey);
    EXPECT_TRUE(key.sent) << "data notifications are sent";
    EXPECT_EQ(key.lParam >> 16, static_cast<std::uint32_t>('k')) << "the key as extra value";
    EXPECT_EQ(key.key, 'k') << "the key was readable while the notification was handled";
    const std::uint32_t handle = key.lParam & 0xFFFF;
    for (const Message &m : host.messages()) {
        if (m.number == kDataMessage) {
            EXPECT_TRUE(m.sent) << "data notification " << m.wParam << " was posted";
        }
    }

    const auto isDisconnect = [](const Message &m) { return m.number == kConnectMessage && (m.lParam & 0xFFFF) == 0; };
    terminal.close();
    ASSERT_TRUE(host.pumpUntil([&] { return find(host.messages(), isDisconnect) != nullptr; }, test::kEventWaitMs))
        << "no disconnect notification";
    const Message disconnect = *find(host.messages(), isDisconnect);
    EXPECT_FALSE(disconnect.sent) << "disconnect is posted";
    EXPECT_EQ(disconnect.wParam, connect.wParam);
    EXPECT_EQ(disconnect.lParam, handle << 16) << "the connection handle of the data notifications, disconnect";

    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(serverPort(), 0);
}

}  // namespace
}  // namespace ks318
