// ks318-console: the host console. Starts the KS318 server, prints every
// notification as one line, and runs commands typed (with line editing and
// history), piped, or read from a script.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>
#include <editline/readline.h>

#include "tools/common/number_file.h"
#include "tools/console/command_table.h"
#include "tools/console/console.h"

namespace {

using ks318::tools::Console;

// Completes the first word of a line with the commands' names.
char *nameGenerator(const char *text, int state) {
    static std::size_t next;
    if (state == 0) next = 0;
    const auto &commands = ks318::tools::consoleCommands().commands();
    while (next < commands.size()) {
        const std::string &name = commands[next++].name;
        if (name.compare(0, std::strlen(text), text) == 0) return strdup(name.c_str());
    }
    return nullptr;
}

char **completeCommand(const char *text, int start, int) {
    rl_attempted_completion_over = 1;
    return start == 0 ? rl_completion_matches(text, nameGenerator) : nullptr;
}

std::filesystem::path historyFile() {
    const char *home = std::getenv("HOME");
    return home ? std::filesystem::path(home) / ".ks318_console_history" : std::filesystem::path();
}

void runInteractive(Console &console) {
    rl_attempted_completion_function = completeCommand;
    const std::string history = historyFile().string();
    if (!history.empty()) read_history(history.c_str());
    console.print("Type help for the commands, quit to leave.");
    while (!console.quitRequested()) {
        char *typed = readline("ks318> ");
        if (typed == nullptr) break;  // end of input
        const std::string line = typed;
        std::free(typed);
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        add_history(line.c_str());
        console.execute(line);
    }
    if (!history.empty()) write_history(history.c_str());
}

// Script lines are shown before they run, so the output reads as a session.
// `stopOnFailure`: a script ends at its first failing line.
void runLines(Console &console, std::istream &in, bool stopOnFailure) {
    std::string line;
    while (!console.quitRequested() && std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        if (line.back() == '\r') line.pop_back();
        console.print("> " + line.substr(first));
        if (!console.execute(line) && stopOnFailure) {
            console.print("the script stops at this line");
            return;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    int port = 16510;
    std::string bind;
    std::string script;
    std::string portFile;
    int timeoutMs = ks318::tools::kDefaultWaitMs;
    bool keepGoing = false;

    CLI::App app{"The KS318 host console: starts the terminal server, prints every notification as one line\n"
                 "(with what the read exports give for it), and runs commands typed, piped or from a script.\n"
                 "Type help at its prompt for the commands."};
    app.option_defaults()->always_capture_default();
    app.add_option("-p,--port", port, "TCP port to listen on; 0 takes any free port (see --port-file)")
        ->check(CLI::Range(0, 65535));
    app.add_option("-b,--bind", bind, "address to listen on; empty: every address");
    app.add_option("-s,--script", script, "run the commands in FILE (- for standard input), then stop; "
                                          "the status is 1 when one failed");
    app.add_flag("-k,--keep-going", keepGoing, "with --script: run the lines after a failed one too");
    app.add_option("--port-file", portFile, "write the port listened on to FILE once listening");
    app.add_option("-t,--timeout", timeoutMs, "milliseconds that waits and answers are waited for")
        ->check(CLI::Range(1, 3600000));
    CLI11_PARSE(app, argc, argv);

    Console console(std::cout);
    console.setTimeoutMs(timeoutMs);
    console.setInteractive(isatty(STDOUT_FILENO) != 0);
    // The working directory is where the media list profile file is kept.
    InitKQ318();
    if (!console.startServer(bind, port)) return 1;
    if (!portFile.empty() && !ks318::tools::writeNumberFile(portFile, kq_getserverport())) {
        console.fail("cannot write the port to " + portFile);
        kq_finishserver();
        return 1;
    }

    if (!script.empty()) {
        if (script == "-") {
            runLines(console, std::cin, !keepGoing);
        } else {
            std::ifstream in(script);
            if (!in) {
                console.fail("cannot read the script " + script);
            } else {
                runLines(console, in, !keepGoing);
            }
        }
    } else if (isatty(STDIN_FILENO)) {
        runInteractive(console);
    } else {
        runLines(console, std::cin, false);
    }

    kq_finishserver();
    console.print("server stopped");
    return console.failed() ? 1 : 0;
}
