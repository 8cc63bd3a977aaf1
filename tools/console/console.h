// The host console's session: where its lines go, what it has been told by
// the server (notifications, counted so that commands and scripts can wait for
// them, and files the terminals sent), and the checks every command shares.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ks318.h"
#include "tools/common/words.h"

namespace ks318::tools {

// A terminal is named by its number (1 to 1024, a position that moves when a
// terminal before it leaves) or by its id (KQ_FIRST_TERMINAL_ID and above, its
// own for as long as it is connected): the value alone tells which.
inline bool isTerminalId(std::int32_t terminal) { return terminal >= KQ_FIRST_TERMINAL_ID; }
// "3" or "id 65537", as messages name a terminal.
std::string terminalName(std::int32_t terminal);

// The calling thread's addressing mode (kq_addressby) while this lives; the
// previous mode comes back after.
class ThreadAddressing {
public:
    explicit ThreadAddressing(std::int32_t mode) : previous_(kq_addressby(mode)) {}
    ~ThreadAddressing() { kq_addressby(previous_); }
    ThreadAddressing(const ThreadAddressing &) = delete;
    ThreadAddressing &operator=(const ThreadAddressing &) = delete;

private:
    std::int32_t previous_;
};

class Console {
public:
    static constexpr std::uint32_t kConnectMessage = 0x0401;
    static constexpr std::uint32_t kDataMessage = 0x0402;

    explicit Console(std::ostream &out);
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // ---- output: whole lines, never mixed with a notification's line
    void print(const std::string &line);
    void printBlock(const std::string &text);  // several lines as they are
    // "error: ..." and false; a script run then ends with a failure status.
    bool fail(const std::string &line);
    bool failed() const;
    // True when the output is a person's terminal (a progress bar may redraw its line).
    bool interactive() const { return interactive_; }
    void setInteractive(bool interactive) { interactive_ = interactive; }
    std::ostream &stream() { return out_; }
    std::mutex &outputLock() { return outputMutex_; }

    // ---- running command lines
    // Parses and runs one line; false when it was wrong or its command failed. A
    // command given a terminal id runs with this thread addressing by id.
    bool execute(const std::string &line);
    bool quitRequested() const { return quit_; }
    void requestQuit() { quit_ = true; }

    // ---- the server
    KqHostTarget *target() { return &target_; }
    // Starts the server with this console as the notification target; prints where it listens.
    bool startServer(const std::string &bind, int port);

    // ---- checks shared by the commands: false (with an error line) when the
    // terminal (a number or an id) is not there, or lacks the model or version
    // the command needs.
    enum class Needs { Nothing, Model320, Version32 };
    bool checkTerminal(const std::string &command, std::int32_t terminal, Needs needs = Needs::Nothing);
    // Prints "export(terminal) = result" and judges it: a command export's
    // result above 0 is success; 0, -1 and -2 are failures, said in words.
    bool judge(const std::string &call, std::int32_t result);

    // ---- notifications
    // How many data notifications of this code came so far: a mark to wait past.
    std::uint64_t seen(std::uint32_t code) const;
    // Waits until a notification of the code comes after `mark`; false on time-out.
    bool waitPast(std::uint32_t code, std::uint64_t mark);
    // Waits for `count` notifications of the code not yet waited for (a script's
    // `wait data`), counting those that came before the wait; false on time-out.
    bool waitData(std::uint32_t code, int count);
    // Waits until at least `count` terminals are connected and identified.
    bool waitTerminals(int count);
    int timeoutMs() const { return timeoutMs_; }
    void setTimeoutMs(int ms) { timeoutMs_ = ms; }

    struct ReceivedFile {
        std::int32_t terminal = 0;  // the id of the terminal that sent it
        std::string name;
        std::int32_t size = 0;
        bool whole = false;  // the terminal had the file and it arrived whole
        std::vector<char> bytes;
    };
    // The file the terminal with this id sent last under this name, once it has come; forgets it.
    std::optional<ReceivedFile> takeFile(std::int32_t terminal, const std::string &name);
    void forgetFile(std::int32_t terminal, const std::string &name);

    // Counts for the summary.
    struct Counts {
        int connects = 0, disconnects = 0;
        std::map<std::uint32_t, int> data;
    };
    Counts counts() const;
    double secondsSinceStart() const;

    // The terminals connected now, by number (1-based).
    static std::int32_t connectedCount();
    // Whether a terminal number or id names a connected terminal now.
    static bool isConnected(std::int32_t terminal);
    // The id of a terminal number or id now; 0 when it names none.
    static std::int32_t idOf(std::int32_t terminal);

private:
    static void onPost(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    static void onSend(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    void posted(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    void sent(std::uint32_t message, std::uint32_t code, std::uint32_t lParam);
    // What the read exports give for a data notification from the terminal with
    // this id (drains the store it names); the thread addresses by id.
    std::string readFor(std::uint32_t code, std::int32_t id, std::uint32_t extra);
    std::string collectFile(std::int32_t id, std::uint32_t extra);
    template <class Ready> bool waitUntil(Ready ready);

    std::ostream &out_;
    bool interactive_ = false;
    bool quit_ = false;
    int timeoutMs_ = kDefaultWaitMs;
    KqHostTarget target_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    mutable std::mutex outputMutex_;
    std::mutex readMutex_;  // one data notification read at a time: they drain shared stores
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool failed_ = false;
    Counts counts_;
    std::map<std::uint32_t, std::uint64_t> waitedFor_;
    std::vector<ReceivedFile> files_;
};

}  // namespace ks318::tools
