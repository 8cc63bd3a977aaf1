// ks318-term: one or more simulated terminals as a program. They connect to a
// KS318 server, answer it as devices do, show what it draws on a screen kept as
// a PNG, log every frame, and take input (keys, serial data, card reads) from
// lines on standard input.
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include "tools/common/words.h"
#include "tools/term/terminal_set.h"

namespace {

std::atomic<bool> stopRequested{false};

void onStopSignal(int) { stopRequested = true; }

// SIGINT and SIGTERM end the program in good order: a blocked read of standard
// input returns instead of being resumed.
void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool parseUid(const std::string &text, std::array<std::uint8_t, 6> &uid) {
    std::string error;
    std::string spaced = text;
    for (char &c : spaced)
        if (c == ':' || c == '-') c = ' ';
    auto words = ks318::tools::splitWords(spaced, error);
    if (!words || words->size() != 6) return false;
    for (std::size_t i = 0; i < 6; ++i) {
        auto byte = ks318::tools::parseNumber("0x" + (*words)[i], 0, 255);
        if (!byte || (*words)[i].size() > 2) return false;
        uid[i] = static_cast<std::uint8_t>(*byte);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace ks318::tools;
    TermSettings settings;
    std::string uid = "00:1A:2B:3C:4D:5E";
    std::string files;

    CLI::App app{"Simulated KS318 terminals: they connect to a server, answer it as devices do, keep its\n"
                 "files and draw its screen, log every frame, and read input lines from standard input\n"
                 "(type help there). Ends on quit, or when standard input ends and no terminal is connected."};
    app.option_defaults()->always_capture_default();
    app.add_option("-s,--server", settings.server, "server address");
    app.add_option("-p,--port", settings.port, "server port")->check(CLI::Range(1, 65535));
    app.add_option("-n,--count", settings.count, "how many terminals to play")->check(CLI::Range(1, 1000));
    app.add_option("-m,--model", settings.models,
                   "model number; several (318,320) are taken in turn by terminals 1, 2 ...: 318 has a 320 x 240 "
                   "screen, others 480 x 272; only 320 answers the newer commands")
        ->delimiter(',')
        ->check(CLI::Range(0, 65535));
    app.add_option("-v,--terminal-version", settings.version, "terminal version (32 or above takes every command)")
        ->check(CLI::Range(0, 255));
    app.add_option("--uid", uid, "unique identifier, six hexadecimal bytes; each further terminal adds 1 to the last");
    app.add_option("--uid-text", settings.uidText, "identifier text (numbered when several terminals)");
    app.add_option("-f,--files", files,
                   "directory for the files the terminals receive (several terminals: a numbered subdirectory each); "
                   "default: a temporary one, removed at the end");
    app.add_option("--screen", settings.screen,
                   "PNG the screen is written to after every change (several terminals: NAME-1.png, NAME-2.png ...)");
    app.add_option("--wait-server", settings.waitServerSeconds, "seconds to keep trying to reach the server")
        ->check(CLI::Range(0, 3600));
    int readRateKiB = 0;
    app.add_option("--read-rate", readRateKiB,
                   "KiB a second each terminal reads at most, like a terminal on a slow network; 0: no limit")
        ->check(CLI::Range(0, 1024 * 1024));
    app.add_flag("-q,--quiet", settings.quiet, "no line for every frame");
    CLI11_PARSE(app, argc, argv);

    settings.readRate = std::int64_t{readRateKiB} * 1024;
    if (!parseUid(uid, settings.uid)) {
        std::cerr << "--uid: six hexadecimal bytes such as 00:1A:2B:3C:4D:5E, not '" << uid << "'\n";
        return 2;
    }
    std::filesystem::path temporary;
    if (files.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "ks318-term-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::cerr << "cannot make a temporary directory\n";
            return 1;
        }
        temporary = pattern;
        settings.files = temporary;
    } else {
        settings.files = files;
    }

    catchStopSignals();
    LineOut out(std::cout);
    int status = 0;
    {
        TerminalSet terminals(settings, out);
        if (!terminals.connectAll()) {
            status = 1;
        } else {
            std::string line;
            bool quit = false;
            while (!quit && !stopRequested && std::getline(std::cin, line)) {
                TermInput input = parseTermInput(line, terminals.size());
                if (!input.error.empty()) {
                    out.line("error: " + input.error);
                    status = 1;
                    continue;
                }
                if (!input.command) continue;
                switch (input.command->kind) {
                case TermCommand::Kind::Help:
                    std::cout << termInputHelp() << std::flush;
                    break;
                case TermCommand::Kind::Quit:
                    quit = true;
                    break;
                default:
                    if (!terminals.run(*input.command)) status = 1;
                }
                terminals.reportClosed();
            }
            // Input has ended: the terminals live on while the server keeps them.
            while (!quit && !stopRequested && !terminals.reportClosed())
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            terminals.reportClosed();
        }
    }
    if (!temporary.empty()) {
        std::error_code error;
        std::filesystem::remove_all(temporary, error);
    }
    return status;
}
