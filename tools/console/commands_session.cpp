// Session commands: help, listings, the server itself, waits and pauses.
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/common/code_names.h"
#include "tools/common/words.h"
#include "tools/console/commands.h"
#include "tools/console/sample_picture.h"

namespace ks318::tools {
namespace {

std::string uidOf(std::int32_t terminal, std::string &uidText) {
    char text[64] = {};
    char field[33] = {};
    kq_getuid(terminal, text, field);
    uidText.assign(field, strnlen(field, 32));
    return text;
}

bool list(Console &console, const Args &) {
    std::vector<unsigned char> table(8196);
    GetTabConectados(table.data());
    std::int32_t count;
    std::memcpy(&count, table.data() + 8192, 4);
    console.print("  " + std::to_string(count) + " terminal(s) connected");
    if (count > 0) console.print("  N  address          model  version  identifier         text");
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t number;
        std::uint32_t address;
        std::memcpy(&number, table.data() + 4 * i, 4);
        std::memcpy(&address, table.data() + 4096 + 4 * i, 4);
        const auto ident = static_cast<std::uint32_t>(kq_getident(number));
        std::string uidText;
        const std::string uid = uidOf(number, uidText);
        char dotted[16];
        char line[200];
        std::snprintf(line, sizeof line, "  %-2d %-16s %-6u %-8u %-18s %s", number, KQinet_ntoa(address, dotted),
                      ((ident >> 8) & 0xFF) * 256 + ((ident >> 16) & 0xFF), ident & 0xFF, uid.c_str(),
                      quoteText(uidText).c_str());
        console.print(line);
    }
    return true;
}

bool identified(Console &console, const Args &) {
    std::vector<unsigned char> list(47108);
    kq_gettermconectados(list.data());
    std::int32_t count;
    std::memcpy(&count, list.data() + 47104, 4);
    console.print("  " + std::to_string(count) + " identified terminal(s)");
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t number, model;
        std::uint32_t address;
        std::memcpy(&number, list.data() + 34816 + 4 * i, 4);
        std::memcpy(&address, list.data() + 38912 + 4 * i, 4);
        std::memcpy(&model, list.data() + 43008 + 4 * i, 4);
        const char *text = reinterpret_cast<const char *>(list.data() + 34 * i);
        char dotted[16];
        console.print("  " + std::to_string(number) + "  " + KQinet_ntoa(address, dotted) + "  model " +
                      std::to_string(model) + "  " + quoteText(std::string(text, strnlen(text, 34))));
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
            console.printBlock(consoleCommands().help() +
                               "\nN is a terminal number (list shows them).\n"
                               "What terminals send is read and shown as it arrives.\n");
            return true;
        }
        const std::string one = consoleCommands().help(args.word("command"));
        if (one.empty()) return console.fail("help: no command '" + args.word("command") + "'");
        console.printBlock(one);
        return true;
    });
    table.add("list", "", "the connected terminals: number, address, model, version, identifier", list);
    table.add("identified", "", "kq_gettermconectados: drops terminals still without identification, lists the rest", identified);
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
