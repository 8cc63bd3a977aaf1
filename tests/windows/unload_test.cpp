// KS318.dll unloaded right after its server stopped, as a Windows host may do:
// FreeLibrary straight after kq_finishserver while eight terminals keep typing.
// Every library thread keeps the module loaded until it has left library code,
// so the image goes away only once they have all gone (nothing runs in unloaded
// code: the process lives to the last run), and no notification begins after
// the stop has returned.
//
// The stop is called on the window thread (which lets the data notifications
// through while it waits), or on another thread while the window thread takes
// no messages at all until it has returned; then the window thread takes its
// messages before or after freeing the library.
//
// KS318_UNLOAD_RUNS sets the number of runs of each test (by default 20 of the
// stop on the window thread, which is quick, and 3 of each stop on another
// thread, which waits out its time limits while the window takes no messages).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "ks318.h"
#include "sim/sim_terminal.h"

namespace ks318 {
namespace {

constexpr UINT kConnectMessage = WM_USER + 21;
constexpr UINT kDataMessage = WM_USER + 22;
constexpr const char *kLibrary = "KS318.dll";
constexpr int kTerminals = 8;
constexpr std::uint32_t kKeyCode = 53;

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int runCount(int fallback) {
    const char *text = std::getenv("KS318_UNLOAD_RUNS");
    const int runs = text != nullptr ? std::atoi(text) : 0;
    return runs > 0 ? runs : fallback;
}

bool libraryLoaded() { return GetModuleHandleA(kLibrary) != nullptr; }

struct Message {
    UINT number;
    std::uint32_t wParam;
    std::uint32_t lParam;
    bool sent;         // sent from another thread (data), not posted (connect, disconnect)
    bool afterReturn;  // handled once kq_finishserver had returned
    DWORD postedAt;    // a posted message's time (GetMessageTime)
};

bool isData(const Message &m) { return m.number == kDataMessage; }
bool isDisconnect(const Message &m) { return m.number == kConnectMessage && (m.lParam & 0xFFFF) == 0; }
bool isConnect(const Message &m) { return m.number == kConnectMessage && (m.lParam & 0xFFFF) == 1; }

// The host's window: a message-only window on the test's thread that records
// every notification. A key notification is read with Get_KBD_char while the
// library is loaded, as a host's handler does.
class HostWindow {
public:
    HostWindow() {
        WNDCLASSA description{};
        description.lpfnWndProc = &HostWindow::procedure;
        description.hInstance = GetModuleHandleA(nullptr);
        description.lpszClassName = "KS318UnloadHost";
        RegisterClassA(&description);  // fails harmlessly once registered
        window_ = CreateWindowExA(0, "KS318UnloadHost", "KS318 host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        if (window_ != nullptr) SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~HostWindow() {
        if (window_ != nullptr) DestroyWindow(window_);
    }
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;

    HWND handle() const { return window_; }
    const std::vector<Message> &messages() const { return messages_; }
    // Set by whichever thread called the stop, right after it returned.
    const std::shared_ptr<std::atomic<bool>> &stopReturned() const { return stopReturned_; }
    // Null once the host has let go of the library: the handler calls nothing in it.
    void readKeysWith(decltype(&Get_KBD_char) getKey) { getKey_ = getKey; }

    // Runs the message loop until `done` holds or the time is up.
    bool pumpUntil(const std::function<bool()> &done, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left, 10)),
                                      QS_ALLINPUT);
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        }
        return true;
    }
    // Runs the message loop until no notification has come for quietMs (at most timeoutMs).
    void pumpUntilQuiet(int quietMs, int timeoutMs) {
        std::size_t seen = messages_.size();
        auto lastChange = Clock::now();
        pumpUntil(
            [&] {
                if (messages_.size() != seen) {
                    seen = messages_.size();
                    lastChange = Clock::now();
                }
                return millisecondsSince(lastChange) >= quietMs;
            },
            timeoutMs);
    }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT number, WPARAM wParam, LPARAM lParam) {
        auto *self = reinterpret_cast<HostWindow *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self == nullptr || (number != kConnectMessage && number != kDataMessage))
            return DefWindowProcA(window, number, wParam, lParam);
        const bool sent = InSendMessage() != FALSE;
        self->messages_.push_back(Message{number, static_cast<std::uint32_t>(wParam),
                                          static_cast<std::uint32_t>(lParam), sent, self->stopReturned_->load(),
                                          sent ? 0 : static_cast<DWORD>(GetMessageTime())});
        if (number == kDataMessage && wParam == kKeyCode && self->getKey_ != nullptr) {
            std::int32_t handle = 0;
            unsigned char key = 0;
            self->getKey_(&handle, &key);
        }
        return 0;
    }

    HWND window_ = nullptr;
    std::vector<Message> messages_;
    std::shared_ptr<std::atomic<bool>> stopReturned_ = std::make_shared<std::atomic<bool>>(false);
    decltype(&Get_KBD_char) getKey_ = nullptr;
};

// Eight terminals, each typing key after key on a thread of its own until told
// to stop or until its connection fails.
class TypingTerminals {
public:
    ~TypingTerminals() { stopTyping(); }

    // Connects and identifies every terminal while the host's window handles
    // the handshake's data notifications.
    bool connect(HostWindow &host, int port) {
        for (int i = 0; i < kTerminals; ++i) terminals_.push_back(std::make_unique<sim::SimTerminal>());
        auto joined = std::async(std::launch::async, [&] {
            for (auto &terminal : terminals_)
                if (!terminal->connectAndIdentify("127.0.0.1", port)) return false;
            return true;
        });
        const bool finished = host.pumpUntil(
            [&] { return joined.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }, 60000);
        return finished && joined.get();
    }

    void startTyping() {
        for (int i = 0; i < kTerminals; ++i) {
            sim::SimTerminal *terminal = terminals_[i].get();
            const auto key = static_cast<std::uint8_t>('a' + i);
            typists_.emplace_back([this, terminal, key] {
                while (!quit_.load() && terminal->send(kKeyCode, {key})) Sleep(3);
            });
        }
    }

    void stopTyping() {
        quit_.store(true);
        for (std::thread &typist : typists_) typist.join();
        typists_.clear();
    }

    // How many terminals find their connection closed by the server within the time.
    int disconnected(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int count = 0;
        for (auto &terminal : terminals_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (terminal->waitDisconnected(static_cast<int>(std::max<long long>(left, 0)))) ++count;
        }
        return count;
    }

private:
    std::vector<std::unique_ptr<sim::SimTerminal>> terminals_;
    std::vector<std::thread> typists_;
    std::atomic<bool> quit_{false};
};

// A stop called on a thread of its own; the caller waits for it without
// handling window messages.
struct StopCall {
    StopCall() : returned(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~StopCall() { CloseHandle(returned); }
    HANDLE returned;
    int result = -2;
    double ms = 0;
    DWORD returnTick = 0;
};

struct RunResult {
    double stopMs = 0;
    double unloadMs = 0;             // from FreeLibrary until the module was gone
    bool loadedRightAfterFree = false;  // the module was still there just after FreeLibrary
    int dataBefore = 0;
    int dataAfter = 0;               // data notifications handled after the stop returned
    int mostAfterOneTerminal = 0;    // the most of them from one connection
    int postedAfter = 0;             // posted notifications handled after the return
    int postedLate = 0;              // of which posted at a later tick than the return
    long latestPost = 0;             // the last posted notification's tick less the return's
    int connects = 0;
    int disconnects = 0;
};

enum class Stop {
    OnWindowThread,           // the window thread stops, then frees the library at once
    ElsewhereThenPump,        // another thread stops; the window thread then takes its messages, then frees
    ElsewhereThenFree,        // another thread stops; the window thread frees at once, then takes its messages
};

// One run: load, start, connect eight typing terminals, let keys flow, stop,
// unload.
void runOnce(Stop how, RunResult &result) {
    HMODULE module = LoadLibraryA(kLibrary);
    ASSERT_NE(module, nullptr) << "KS318.dll did not load: " << GetLastError();
    auto start = reinterpret_cast<decltype(&kq_startserverex)>(
        reinterpret_cast<void *>(GetProcAddress(module, "kq_startserverex")));
    auto serverPort = reinterpret_cast<decltype(&kq_getserverport)>(
        reinterpret_cast<void *>(GetProcAddress(module, "kq_getserverport")));
    auto finish = reinterpret_cast<decltype(&kq_finishserver)>(
        reinterpret_cast<void *>(GetProcAddress(module, "kq_finishserver")));
    auto getKey =
        reinterpret_cast<decltype(&Get_KBD_char)>(reinterpret_cast<void *>(GetProcAddress(module, "Get_KBD_char")));
    ASSERT_TRUE(start && serverPort && finish && getKey);

    HostWindow host;
    ASSERT_NE(host.handle(), nullptr) << "no window: " << GetLastError();
    host.readKeysWith(getKey);
    TypingTerminals terminals;

    ASSERT_EQ(start(host.handle(), kConnectMessage, kDataMessage, "127.0.0.1", 0), 1);
    const int port = serverPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(terminals.connect(host, port)) << "a terminal did not get through its handshake";
    terminals.startTyping();

    // Keys flow from every terminal before the stop.
    std::map<std::uint32_t, int> keysPerConnection;
    ASSERT_TRUE(host.pumpUntil(
        [&] {
            keysPerConnection.clear();
            for (const Message &m : host.messages())
                if (isData(m) && m.wParam == kKeyCode) ++keysPerConnection[m.lParam & 0xFFFF];
            return keysPerConnection.size() == kTerminals &&
                   std::all_of(keysPerConnection.begin(), keysPerConnection.end(),
                               [](const auto &entry) { return entry.second >= 5; });
        },
        20000))
        << "keys came from " << keysPerConnection.size() << " of " << kTerminals << " terminals";

    DWORD returnTick = 0;
    if (how == Stop::OnWindowThread) {
        const auto began = Clock::now();
        const int stopped = finish();
        result.stopMs = millisecondsSince(began);
        returnTick = GetTickCount();
        host.stopReturned()->store(true);
        EXPECT_EQ(stopped, 0);
    } else {
        // The window thread is busy for a moment, so the connection threads are
        // waiting in their data notifications when the stop begins; it then
        // waits for the stop without taking messages.
        Sleep(200);
        auto call = std::make_shared<StopCall>();
        std::thread([call, finish, stopReturned = host.stopReturned()] {
            const auto began = Clock::now();
            call->result = finish();
            call->ms = millisecondsSince(began);
            call->returnTick = GetTickCount();
            stopReturned->store(true);
            SetEvent(call->returned);
        }).detach();
        if (WaitForSingleObject(call->returned, 60000) != WAIT_OBJECT_0) {
            // The stop still runs in the library: it must not be unloaded.
            ADD_FAILURE() << "kq_finishserver did not return within 60 s";
            std::fflush(stdout);
            std::_Exit(1);
        }
        result.stopMs = call->ms;
        returnTick = call->returnTick;
        EXPECT_EQ(call->result, 0);
        // The window thread takes its messages again: whatever waited for it now.
        if (how == Stop::ElsewhereThenPump) host.pumpUntilQuiet(300, 5000);
    }

    // The host lets go of the library; the module goes when the last library
    // thread has left its code. A thread still waiting in a notification keeps
    // it until the window has taken that notification and the thread has ended.
    host.readKeysWith(nullptr);
    const auto freed = Clock::now();
    EXPECT_TRUE(FreeLibrary(module));
    result.loadedRightAfterFree = libraryLoaded();
    const bool gone = host.pumpUntil([] { return !libraryLoaded(); }, 15000);
    result.unloadMs = millisecondsSince(freed);
    EXPECT_TRUE(gone) << "KS318.dll still loaded " << result.unloadMs << " ms after FreeLibrary";
    host.pumpUntilQuiet(300, 5000);

    std::map<std::uint32_t, int> dataAfter;
    bool anyPosted = false;
    for (const Message &m : host.messages()) {
        if (isConnect(m)) ++result.connects;
        if (isDisconnect(m)) ++result.disconnects;
        if (!m.sent) {
            // Ticks of the one system clock: a later tick was posted after the return.
            const long sinceReturn = static_cast<LONG>(m.postedAt - returnTick);
            result.latestPost = anyPosted ? std::max(result.latestPost, sinceReturn) : sinceReturn;
            anyPosted = true;
        }
        if (!m.afterReturn) {
            if (isData(m)) ++result.dataBefore;
            continue;
        }
        if (m.sent) {
            ++result.dataAfter;
            ++dataAfter[m.lParam & 0xFFFF];
        } else {
            ++result.postedAfter;
            if (static_cast<LONG>(m.postedAt - returnTick) > 0) ++result.postedLate;
        }
    }
    for (const auto &entry : dataAfter) result.mostAfterOneTerminal = std::max(result.mostAfterOneTerminal, entry.second);
    EXPECT_EQ(result.connects, kTerminals);

    // Every connection was ended by the stop.
    EXPECT_EQ(terminals.disconnected(10000), kTerminals) << "connections the stop left open";
    terminals.stopTyping();
}

void report(const char *name, int run, const RunResult &r) {
    std::printf("[ %s %2d ] stop %.0f ms; unload %.0f ms after FreeLibrary (loaded just after it: %s); "
                "data before the return %d, after %d (most from one connection %d); connect %d, disconnect %d; "
                "posted ones handled after the return %d, posted after it %d (last post %+ld ms from the return)\n",
                name, run, r.stopMs, r.unloadMs, r.loadedRightAfterFree ? "yes" : "no", r.dataBefore, r.dataAfter,
                r.mostAfterOneTerminal, r.connects, r.disconnects, r.postedAfter, r.postedLate, r.latestPost);
    std::fflush(stdout);
}

void summarize(const char *name, const std::vector<RunResult> &results) {
    if (results.empty()) return;
    double most = 0, least = 1e9, sum = 0, unloadMost = 0;
    int dataAfter = 0, runsWithDataAfter = 0, disconnects = 0, postedLate = 0;
    for (const RunResult &r : results) {
        most = std::max(most, r.stopMs);
        least = std::min(least, r.stopMs);
        sum += r.stopMs;
        unloadMost = std::max(unloadMost, r.unloadMs);
        dataAfter += r.dataAfter;
        if (r.dataAfter > 0) ++runsWithDataAfter;
        disconnects += r.disconnects;
        postedLate += r.postedLate;
    }
    std::printf("[ %s ] %zu runs: stop %.0f..%.0f ms (mean %.0f); unload at most %.0f ms after FreeLibrary; "
                "%d data notifications after the return, in %d runs; %d disconnects of %zu terminals; "
                "%d posted after the return\n",
                name, results.size(), least, most, sum / static_cast<double>(results.size()), unloadMost, dataAfter,
                runsWithDataAfter, disconnects, results.size() * kTerminals, postedLate);
    std::fflush(stdout);
}

// Checks every run of one kind; false once a run could not be completed.
bool runAll(Stop how, const char *name, int runs, const std::function<void(int, const RunResult &)> &check) {
    std::vector<RunResult> results;
    for (int run = 1; run <= runs; ++run) {
        RunResult result;
        runOnce(how, result);
        if (testing::Test::HasFatalFailure()) return false;
        report(name, run, result);
        results.push_back(result);
        // Each connection has at most one data notification under way: a second
        // one after the return began after it.
        EXPECT_LE(result.mostAfterOneTerminal, 1)
            << "run " << run << ": a connection began a data notification after the stop returned";
        EXPECT_EQ(result.postedLate, 0) << "run " << run << ": a notification was posted after the stop returned";
        EXPECT_LE(result.disconnects, kTerminals) << "run " << run << ": a terminal departed twice";
        check(run, result);
    }
    summarize(name, results);
    return true;
}

// The window thread stops the server while its terminals type: the stop lets
// the waiting data notifications through, every connection thread ends and
// posts its disconnect before the stop returns, and the host frees the library
// at once.
TEST(LibraryUnload, FreeLibraryRightAfterAStopOnTheWindowThread) {
    ASSERT_FALSE(libraryLoaded());
    runAll(Stop::OnWindowThread, "window thread", runCount(20), [](int run, const RunResult &result) {
        EXPECT_EQ(result.dataAfter, 0) << "run " << run << ": data notifications after the stop returned";
        EXPECT_EQ(result.disconnects, kTerminals) << "run " << run << ": every terminal departs, before the return";
        EXPECT_LT(result.stopMs, 6400.0) << "run " << run << ": the stop waits about 5.4 s at most";
    });
    EXPECT_FALSE(libraryLoaded());
}

// Another thread stops the server while the window thread takes no messages:
// connection threads wait in their data notifications. Once the window thread
// takes messages again, each connection delivers at most the notification it
// was waiting in; then the host frees the library.
TEST(LibraryUnload, StopOnAnotherThreadWhileTheWindowWaitsThenMessagesThenFreeLibrary) {
    ASSERT_FALSE(libraryLoaded());
    runAll(Stop::ElsewhereThenPump, "other thread, messages, free", runCount(3), [](int, const RunResult &) {});
    EXPECT_FALSE(libraryLoaded());
}

// As above, but the host frees the library as soon as the stop has returned,
// before its window thread takes the notifications still waiting: the threads
// waiting in them keep the library loaded, return into it once the window has
// handled them, end, and only then does the module go.
TEST(LibraryUnload, StopOnAnotherThreadWhileTheWindowWaitsThenFreeLibraryThenMessages) {
    ASSERT_FALSE(libraryLoaded());
    runAll(Stop::ElsewhereThenFree, "other thread, free, messages", runCount(3), [](int run, const RunResult &result) {
        if (result.dataAfter > 0) {
            EXPECT_TRUE(result.loadedRightAfterFree)
                << "run " << run << ": the library went while " << result.dataAfter
                << " of its threads still waited in data notifications";
        }
    });
    EXPECT_FALSE(libraryLoaded());
}

}  // namespace
}  // namespace ks318
