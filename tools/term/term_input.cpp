#include "tools/term/term_input.h"

#include <array>
#include <functional>
#include <vector>

#include "tools/common/code_names.h"
#include "tools/common/words.h"

namespace ks318::tools {

static_assert(kDefaultWaitMs == 10000, "the timeout command's help names the default");
namespace {

using Kind = TermCommand::Kind;
using Words = std::vector<std::string>;

struct Entry {
    const char *name;
    const char *usage;
    const char *help;
    std::size_t least, most;  // arguments after the name; most 99: any number
    // Fills the command from the arguments; an error text, empty when fine.
    std::function<std::string(const Words &, TermCommand &)> read;
};

std::string number(const std::string &word, const char *what, std::int64_t low, std::int64_t high, std::int64_t &out) {
    const auto value = parseNumber(word, low, high);
    if (!value) return std::string(what) + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" + word + "'";
    out = *value;
    return {};
}

std::string rest(const Words &args, std::size_t from) {
    std::string joined;
    for (std::size_t i = from; i < args.size(); ++i) joined += (i > from ? " " : "") + args[i];
    return joined;
}

auto simple(Kind kind) {
    return [kind](const Words &, TermCommand &command) {
        command.kind = kind;
        return std::string();
    };
}

const std::vector<Entry> &table() {
    static const std::vector<Entry> entries = {
        {"key", "key CODE", "press the key with this code (0-255)", 1, 1,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Key; return number(a[0], "the key code", 0, 255, c.number); }},
        {"keys", "keys TEXT", "press one key for each character of the text", 1, 99,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Keys; c.text = rest(a, 0); return std::string(); }},
        {"serial", "serial PORT DATA...", "serial data arrives on port 0 or 1 (the words, joined by blanks)", 2, 99,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Serial; c.text = rest(a, 1); return number(a[0], "the port", 0, 1, c.number); }},
        {"card", "card FIRST [SECOND]", "a card is read: its first and second text ('' leaves one out)", 1, 2,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Card; c.text = a[0]; c.second = a.size() > 1 ? a[1] : ""; return std::string(); }},
        {"sensor", "sensor STATUS", "the presence sensor's status the terminal reports from now on", 1, 1,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Sensor; return number(a[0], "the status", INT32_MIN, INT32_MAX, c.number); }},
        {"audio", "audio STATUS", "the audio status the terminal reports from now on", 1, 1,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Audio; return number(a[0], "the status", INT32_MIN, INT32_MAX, c.number); }},
        {"frame", "frame CODE [BYTE...]", "send any frame: a code (number or name) and payload bytes (0-255 each)", 1, 99,
         [](const Words &a, TermCommand &c) {
             c.kind = Kind::Frame;
             std::uint16_t code;
             if (!codeFromName(a[0], code)) return "unknown code '" + a[0] + "'";
             c.number = code;
             for (std::size_t i = 1; i < a.size(); ++i) {
                 std::int64_t byte;
                 if (auto error = number(a[i], "a byte", 0, 255, byte); !error.empty()) return error;
                 c.bytes.push_back(static_cast<std::uint8_t>(byte));
             }
             return std::string();
         }},
        {"screen", "screen PATH", "write the screen as a PNG now", 1, 1,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Screen; c.text = a[0]; return std::string(); }},
        {"wait", "wait identified | wait frame CODE [COUNT] | wait disconnected",
         "wait until the terminals got through the handshake, until COUNT frames of the code arrived in all, or until the server closed",
         1, 3,
         [](const Words &a, TermCommand &c) {
             if (a[0] == "identified" && a.size() == 1) return c.kind = Kind::WaitIdentified, std::string();
             if (a[0] == "disconnected" && a.size() == 1) return c.kind = Kind::WaitDisconnected, std::string();
             if (a[0] == "frame" && a.size() >= 2) {
                 c.kind = Kind::WaitFrame;
                 std::uint16_t code;
                 if (!codeFromName(a[1], code)) return "unknown code '" + a[1] + "'";
                 // A frame the server never sends would only be waited for in vain.
                 if (!isProtocolCode(code)) return "no frame of the protocol has code " + a[1];
                 c.number = code;
                 return a.size() == 3 ? number(a[2], "the count", 1, 1000000, c.count) : std::string();
             }
             return std::string("wait for what? wait identified, wait frame CODE [COUNT] or wait disconnected");
         }},
        {"sleep", "sleep MS", "do nothing for a while", 1, 1,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Sleep; return number(a[0], "the time", 0, 3600000, c.number); }},
        {"timeout", "timeout MS", "how long a wait waits before it fails (at first 10000, as the console)", 1, 1,
         [](const Words &a, TermCommand &c) { c.kind = Kind::Timeout; return number(a[0], "the time", 1, 3600000, c.number); }},
        {"disconnect", "disconnect", "close the connection from the terminal's side", 0, 0, simple(Kind::Disconnect)},
        {"help", "help", "this list", 0, 0, simple(Kind::Help)},
        {"quit", "quit", "leave at once", 0, 0, simple(Kind::Quit)},
    };
    return entries;
}

}  // namespace

TermInput parseTermInput(const std::string &line, int terminals) {
    TermInput input;
    auto words = splitWords(line, input.error);
    if (!words) return input;
    if (words->empty()) return input;
    TermCommand command;
    if ((*words)[0][0] == '@') {
        const std::string target = words->front().substr(1);
        const auto chosen = parseNumber(target, 1, terminals);
        if (!chosen && target != "all") {
            input.error = "@" + target + ": this process plays terminals 1 to " + std::to_string(terminals) + " (or @all)";
            return input;
        }
        if (chosen) command.terminal = static_cast<int>(*chosen);
        words->erase(words->begin());
        if (words->empty()) {
            input.error = "a command must follow @" + target;
            return input;
        }
    }
    const std::string name = words->front();
    const Words args(words->begin() + 1, words->end());
    for (const Entry &entry : table()) {
        if (name != entry.name) continue;
        if (args.size() < entry.least || args.size() > entry.most) {
            input.error = name + ": usage: " + entry.usage;
            return input;
        }
        if (std::string error = entry.read(args, command); !error.empty()) {
            input.error = name + ": " + error;
            return input;
        }
        input.command = command;
        return input;
    }
    input.error = "unknown command '" + name + "' (help lists them)";
    return input;
}

std::string termInputHelp() {
    std::string help = "Commands (start a line with @N for terminal N alone):\n";
    for (const Entry &entry : table()) {
        std::string usage = entry.usage;
        if (usage.size() < 24) usage.resize(24, ' ');
        help += "  " + usage + "  " + entry.help + "\n";
    }
    return help;
}

}  // namespace ks318::tools
