// Session commands: help, listings, the server itself, waits and pauses.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tools/common/code_names.h"
#include "tools/common/words.h"
#include "tools/console/commands.h"
#include "tools/console/sample_picture.h"

namespace ks318::tools {
namespace {

// The terminals in one listing of the library's, by number with their ids:
// whatever else is read for a row is read by its id, so a terminal that leaves
// meanwhile loses its row's details instead of lending it another's.
bool list(Console &console, const Args &) {
    std::vector<KqTerminalInfo> terminals(KQ_MAX_TERMINALS);
    const std::int32_t count = std::min<std::int32_t>(kq_listterminals(terminals.data(), KQ_MAX_TERMINALS), KQ_MAX_TERMINALS);
    console.print("  " + std::to_string(count) + " terminal(s) connected and identified");
    if (count > 0) console.print("  N  id      address          model  version  identifier         text");
    const ThreadAddressing byId(KQ_ADDRESS_BY_ID);
    for (std::int32_t i = 0; i < count; ++i) {
        const KqTerminalInfo &terminal = terminals[static_cast<std::size_t>(i)];
        char uid[64] = {};
        char uidText[33] = {};
        kq_getuid(terminal.id, uid, uidText);
        char dotted[16];
        char line[200];
        std::snprintf(line, sizeof line, "  %-2d %-7d %-16s %-6d %-8d %-18s %s", terminal.number, terminal.id,
                      KQinet_ntoa(terminal.address, dotted), terminal.model, terminal.version, uid,
                      quoteText(std::string(uidText, strnlen(uidText, 32))).c_str());
        console.print(line);
    }
    return true;
}

// kq_gettermconectados read by id: entry k is terminal number k + 1, and the
// number fields hold the ids, so one listing gives both.
bool identified(Console &console, const Args &) {
    auto list = std::make_unique<KqTerminalList>();
    {
        const ThreadAddressing byId(KQ_ADDRESS_BY_ID);
        if (kq_gettermconectados(list.get()) == nullptr) return console.fail("identified: " + std::string(kq_lastfailure()));
    }
    console.print("  " + std::to_string(list->count) + " identified terminal(s)");
    for (std::int32_t k = 0; k < KQ_MAX_TERMINALS; ++k) {
        if (list->number[k] == 0) continue;  // none there, or one still in its handshake
        const char *text = list->text[k];
        char dotted[16];
        console.print("  " + std::to_string(k + 1) + "  id " + std::to_string(list->number[k]) + "  " +
                      KQinet_ntoa(list->address[k], dotted) + "  model " + std::to_string(list->model[k]) + "  " +
                      quoteText(std::string(text, strnlen(text, 34))));
    }
    return true;
}

bool status(Console &console, const Args &) {
    const std::int32_t port = kq_getserverport();
    console.print("  library version " + std::to_string(kq_version()) + ", " +
                  (port == 0 ? std::string("server stopped") : "listening on port " + std::to_string(port)) + ", " +
                  std::to_string(Console::connectedCount()) + " terminal(s)");
    return true;
}

bool hostIp(Console &console, const Args &) {
    char address[16] = {};
    if (kq_gethostip(address) == nullptr) return console.fail("hostip: this computer's address is not known");
    console.print("  kq_gethostip = " + std::string(address));
    return true;
}

bool inet(Console &console, const Args &args) {
    const std::string text = args.word("address");
    const std::uint32_t value = kq_inet_addr(text.c_str());
    if (value == 0xFFFFFFFFu && text != "255.255.255.255") return console.fail("inet: '" + text + "' is no IPv4 address");
    char dotted[16];
    char line[96];
    std::snprintf(line, sizeof line, "  kq_inet_addr = 0x%08X, back: %s", value, KQinet_ntoa(value, dotted));
    console.print(line);
    return true;
}

bool start(Console &console, const Args &args) {
    return console.startServer(args.word("bind", ""), args.number("port", 16510));
}

bool stop(Console &console, const Args &) {
    if (kq_finishserver() != 0) return console.fail("stop: no server was running");
    console.print("  kq_finishserver = 0");
    return true;
}

bool init(Console &console, const Args &) {
    const std::int32_t length = InitKQ318();
    if (length <= 0) return console.fail("init: the working directory could not be read");
    console.print("  InitKQ318 = " + std::to_string(length));
    return true;
}

bool wait(Console &console, const Args &args) {
    const std::string what = args.word("what");
    const std::string value = args.word("value");
    if (what == "terminals") {
        const auto count = parseNumber(value, 0, 1024);
        if (!count || args.has("count")) return console.fail("wait: usage: wait terminals COUNT");
        if (console.waitTerminals(static_cast<int>(*count))) return true;
        return console.fail("wait terminals " + value + ": " + std::to_string(Console::connectedCount()) +
                            " connected and identified after " + std::to_string(console.timeoutMs()) + " ms");
    }
    if (what == "data") {
        std::uint16_t code;
        if (!codeFromName(value, code)) return console.fail("wait data: unknown notification code '" + value + "'");
        const int count = args.number("count", 1);
        if (count < 1) return console.fail("wait data: the count must be 1 or more");
        if (console.waitData(code, count)) return true;
        return console.fail("wait data " + value + ": not " + std::to_string(count) + " more notification(s) within " +
                            std::to_string(console.timeoutMs()) + " ms");
    }
    return console.fail("wait: wait terminals COUNT, or wait data CODE [COUNT]");
}

bool sleep(Console &, const Args &args) {
    std::this_thread::sleep_for(std::chrono::milliseconds(args.number("ms")));
    return true;
}

bool timeout(Console &console, const Args &args) {
    if (args.number("ms") < 1) return console.fail("timeout: at least 1 ms");
    console.setTimeoutMs(args.number("ms"));
    return true;
}

bool echo(Console &console, const Args &args) {
    console.print(args.word("text"));
    return true;
}

bool summary(Console &console, const Args &) {
    const Console::Counts counts = console.counts();
    console.print("  " + std::to_string(counts.connects) + " connect(s), " + std::to_string(counts.disconnects) +
                  " disconnect(s), " + std::to_string(Console::connectedCount()) + " terminal(s) connected now");
    for (const auto &[code, count] : counts.data) {
        if (count == 0) continue;
        char line[96];
        std::snprintf(line, sizeof line, "  data %3u %-20s x %d", code, notificationName(code).c_str(), count);
        console.print(line);
    }
    return true;
}

bool makePicture(Console &console, const Args &args) {
    const int width = args.number("width", 640), height = args.number("height", 400);
    if (width < 1 || height < 1 || width > 8192 || height > 8192)
        return console.fail("makepicture: width and height from 1 to 8192");
    if (!writeSamplePicture(args.word("path"), width, height)) return console.fail("makepicture: cannot write " + args.word("path"));
    console.print("  sample picture " + std::to_string(width) + " x " + std::to_string(height) + " written to " +
                  args.word("path"));
    return true;
}

}  // namespace

void addSessionCommands(CommandTable &table) {
    table.group("Session");
    table.add("help", "[command]", "every command, or one command's usage", [](Console &console, const Args &args) {
        if (!args.has("command")) {
            const std::string kFirstId = std::to_string(KQ_FIRST_TERMINAL_ID);
            console.printBlock(consoleCommands().help() +
                               "\nN names a terminal: its number (1 to 1024), a position that moves when one\n"
                               "before it leaves, or its id, which stays its own: a value of " + kFirstId +
                               " or more\nis an id. list shows both.\n"
                               "What terminals send is read and shown as it arrives.\n");
            return true;
        }
        const std::string one = consoleCommands().help(args.word("command"));
        if (one.empty()) return console.fail("help: no command '" + args.word("command") + "'");
        console.printBlock(one);
        return true;
    });
    table.add("list", "", "the identified terminals: number, id, address, model, version, identifier", list);
    table.add("identified", "", "kq_gettermconectados: drops terminals identified as model 0, lists the rest with their ids", identified);
    table.add("status", "", "library version, port, how many terminals", status);
    table.add("hostip", "", "this computer's first IPv4 address", hostIp);
    table.add("inet", "address", "an IPv4 address as a number and back", inet);
    table.add("start", "[port:int] [bind]", "start the server (default port 16510, every address)", start);
    table.add("stop", "", "stop the server and drop every terminal", stop);
    table.add("init", "", "InitKQ318: the working directory holds Config_Terminal/all_medias.ini", init);
    table.add("wait", "what value [count:int]",
              "wait terminals COUNT: until that many are connected and identified; wait data CODE [COUNT]: until "
              "COUNT more notifications of the code (number or name) came",
              wait);
    table.add("sleep", "ms:ms", "do nothing for a while", sleep);
    table.add("timeout", "ms:ms",
              "how long waits and answers are waited for (at first " + std::to_string(kDefaultWaitMs) + " ms)", timeout);
    table.add("echo", "[text...]", "print a line", echo);
    table.add("summary", "", "what happened: connects, disconnects, notifications by code", summary);
    table.add("makepicture", "path [width:int] [height:int]", "draw the console's sample picture as a BMP file (640 x 400)",
              makePicture);
    table.add("quit", "", "stop the server and leave", [](Console &console, const Args &) {
        console.requestQuit();
        return true;
    });
}

}  // namespace ks318::tools
