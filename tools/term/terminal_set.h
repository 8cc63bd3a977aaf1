// The terminals one ks318-term process plays: each a simulated terminal with
// its device state, file store and screen, all logging their frames to one
// output, and the input commands carried out on them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/file_store.h"
#include "sim/screen.h"
#include "sim/sim_terminal.h"
#include "tools/common/words.h"
#include "tools/term/term_input.h"

namespace ks318::tools {

struct TermSettings {
    std::string server = "127.0.0.1";
    int port = 16510;
    int count = 1;
    std::vector<int> models{320};  // terminal i takes models[i % size]
    int version = 32;
    std::array<std::uint8_t, 6> uid{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    std::string uidText = "SIM TERMINAL";
    std::filesystem::path files;  // where received files are kept
    std::string screen;           // PNG path; empty: none
    int waitServerSeconds = 5;
    std::int64_t readRate = 0;    // bytes a second each terminal reads; 0: no limit
    bool quiet = false;           // no frame log
};

// Lines to one stream, whole and in order, each with the seconds since start.
class LineOut {
public:
    explicit LineOut(std::ostream &out) : out_(out) {}
    void line(const std::string &text);

private:
    std::ostream &out_;
    std::mutex mutex_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class TerminalSet {
public:
    TerminalSet(const TermSettings &settings, LineOut &out);
    ~TerminalSet();

    // Connects every terminal (retrying while the server is not there yet, up to
    // waitServerSeconds) and waits for each handshake. False when one failed.
    bool connectAll();
    int size() const { return static_cast<int>(units_.size()); }

    // Carries the command out; false (with a line on the output) when it failed.
    bool run(const TermCommand &command);
    // Reports terminals whose connection closed since the last call; true when none is connected.
    bool reportClosed();

    // The paths a terminal's files and screen go to, for terminal i (0-based).
    static std::filesystem::path filesOf(const TermSettings &settings, int i);
    static std::string screenOf(const TermSettings &settings, int i);

private:
    struct Unit {
        int number = 0;
        std::unique_ptr<sim::SimTerminal> terminal;
        std::unique_ptr<sim::Device> device;
        std::shared_ptr<sim::FileStore> store;
        std::shared_ptr<sim::SimScreen> screen;
        bool reportedClosed = false;
    };
    bool runOn(Unit &unit, const TermCommand &command);
    void say(const Unit &unit, const std::string &text);

    TermSettings settings_;
    LineOut &out_;
    std::vector<Unit> units_;
    int timeoutMs_ = kDefaultWaitMs;
};

}  // namespace ks318::tools
