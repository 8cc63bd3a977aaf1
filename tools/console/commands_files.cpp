// Commands that move files: to a terminal (with the transfer worker's progress
// as a bar, or whole), fonts, media configuration, files fetched back, and the
// media lists.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "tools/common/words.h"
#include "tools/console/commands.h"
#include "tools/console/progress_bar.h"

namespace ks318::tools {
namespace {

using Needs = Console::Needs;

std::optional<std::uintmax_t> sizeOf(const std::string &path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || !std::ifstream(path)) return std::nullopt;
    return size;
}

// File exports return the bytes sent: the file's size (0 for an empty file).
bool judgeFile(Console &console, const std::string &shown, std::int32_t result, std::uintmax_t size) {
    console.print("  " + shown + " = " + std::to_string(result));
    if (result >= 0 && static_cast<std::uintmax_t>(result) == size) return true;
    if (result == -2) return console.fail(shown + ": the terminal's send gate stayed busy for 10 s");
    if (result == -1) return console.fail(shown + ": the write failed");
    return console.fail(shown + ": nothing was sent (the terminal is gone, or the name is too long)");
}

bool file(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string local = args.word("local"), destination = args.word("destination");
    if (!console.checkTerminal("file", n)) return false;
    const auto size = sizeOf(local);
    if (!size) return console.fail("file: cannot read " + local);
    // The worker writes the word until its end: it lives on the heap, and this
    // command does not return before the worker wrote -1.
    auto progress = std::make_unique<std::int32_t>(0);
    // The outcome is asked by id: the terminal may leave, and its number move, meanwhile.
    const std::int32_t id = isTerminalId(n) ? n : kq_terminalid(n);
    const std::int32_t started = kq_sendfileStatus(n, local.c_str(), destination.c_str(), progress.get());
    console.print("  " + call("kq_sendfileStatus", n) + " " + quoteText(local) + " -> " + quoteText(destination) + " = " +
                  std::to_string(started));
    if (started != 1) return console.fail(std::string("file: not started: ") + kq_lastfailure());
    const auto begun = std::chrono::steady_clock::now();
    followProgress(console, progress.get());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    // The word tells the end (-1), not the outcome: the worker keeps that.
    std::uint32_t sent = 0, total = 0;
    std::int32_t outcome;
    std::string reason;
    {
        const ThreadAddressing byId(KQ_ADDRESS_BY_ID);
        outcome = kq_transferoutcome(id, &sent, &total);
        reason = kq_lastfailure();
    }
    if (outcome != KQ_TRANSFER_WHOLE)
        return console.fail("file: the transfer to terminal " + terminalName(n) + " failed after " +
                            std::to_string(sent) + " of " + std::to_string(total) + " bytes: " + reason);
    char line[96];
    std::snprintf(line, sizeof line, "  %s  %ju bytes in %.2f s", progressBar(100).c_str(), *size, seconds);
    console.print(line);
    return true;
}

bool sendFile(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string local = args.word("local"), destination = args.word("destination");
    if (!console.checkTerminal("sendfile", n)) return false;
    const auto size = sizeOf(local);
    if (!size) return console.fail("sendfile: cannot read " + local);
    return judgeFile(console, call("kq_sendfile", n) + " " + quoteText(destination),
                     kq_sendfile(n, local.c_str(), destination.c_str()), *size);
}

bool font(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string path = args.word("path");
    if (!console.checkTerminal("font", n)) return false;
    const auto size = sizeOf(path);
    if (!size) return console.fail("font: cannot read " + path);
    return judgeFile(console, call("kq_sendfontfile", n) + " " + quoteText(path), kq_sendfontfile(n, path.c_str()), *size);
}

bool configurationFile(Console &console, const Args &args, const char *command, const char *exportName,
                       std::int32_t (*send)(std::int32_t, const char *)) {
    const std::int32_t n = args.terminal();
    const std::string path = args.word("path");
    if (!console.checkTerminal(command, n)) return false;
    const auto size = sizeOf(path);
    if (!size) return console.fail(std::string(command) + ": cannot read " + path);
    const std::uint64_t mark = console.seen(KQ_NOTIFY_ADV_RELOADED);
    if (!judgeFile(console, call(exportName, n) + " " + quoteText(path), send(n, path.c_str()), *size)) return false;
    return *size == 0 || awaitAnswer(console, command, n, KQ_NOTIFY_ADV_RELOADED, mark);  // the reload follows only when bytes went out
}

bool get(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    const std::string name = args.word("name"), out = args.word("out");
    if (name.empty() || name.size() > 127) return console.fail("get: a name of 1 to 127 bytes");
    if (!console.checkTerminal("get", n, Needs::Version32)) return false;
    // Files that came are kept by the sender's id.
    const std::int32_t id = Console::idOf(n);
    console.forgetFile(id, name);
    const std::int32_t result = kq_reqfile(n, name.c_str());
    if (!console.judge(call("kq_reqfile", n) + " " + quoteText(name), result)) return false;
    // Answers are shown as they come; wait for the one that names this file.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(console.timeoutMs());
    std::optional<Console::ReceivedFile> file;
    while (!(file = console.takeFile(id, name))) {
        const std::uint64_t mark = console.seen(KQ_NOTIFY_FILE);
        if ((file = console.takeFile(id, name))) break;
        if (std::chrono::steady_clock::now() >= deadline || !console.waitPast(KQ_NOTIFY_FILE, mark))
            return console.fail("get: no answer from terminal " + terminalName(n) + " for " + quoteText(name));
    }
    if (!file->whole) return console.fail("get: terminal " + terminalName(n) + " sent no file " + quoteText(name));
    std::ofstream written(out, std::ios::binary | std::ios::trunc);
    written.write(file->bytes.data(), static_cast<std::streamsize>(file->bytes.size()));
    written.close();
    if (written.fail()) return console.fail("get: cannot write " + out);
    console.print("  " + std::to_string(file->bytes.size()) + " bytes written to " + out);
    return true;
}

bool medias(Console &console, const Args &args) {
    const std::int32_t n = args.terminal();
    if (!console.checkTerminal("medias", n, Needs::Model320)) return false;
    // The library keeps the list below the directory InitKQ318 captured (the
    // console's working directory at start), and only where the folder exists.
    std::error_code error;
    std::filesystem::create_directories("Config_Terminal", error);
    const std::uint64_t mark = console.seen(KQ_NOTIFY_FILE);
    if (!console.judge(call("kq_pedeallmedias", n), kq_pedeallmedias(n)) || !awaitAnswer(console, "medias", n, KQ_NOTIFY_FILE, mark))
        return false;
    std::vector<char> entries(255 * 256, 0);
    kq_getallmedias(n, entries.data());
    int count = 0;
    for (; count < 255 && entries[static_cast<std::size_t>(count) * 256] != 0; ++count)
        console.print("  " + std::string(entries.data() + static_cast<std::size_t>(count) * 256));
    console.print("  " + std::to_string(count) + " media entr" + (count == 1 ? "y" : "ies"));
    return true;
}

bool saveMedias(Console &console, const Args &args) {
    const std::vector<std::string> given = args.list("entries");
    const auto *words = &given;
    if (words->size() > 254) return console.fail("savemedias: at most 254 entries");
    std::vector<char> entries((words->size() + 1) * 256, 0);
    for (std::size_t i = 0; i < words->size(); ++i) {
        if ((*words)[i].size() > 255) return console.fail("savemedias: an entry of at most 255 bytes");
        std::memcpy(entries.data() + i * 256, (*words)[i].data(), (*words)[i].size());
    }
    const std::int32_t result = kq_savemedias(entries.data(), args.word("path").c_str());
    console.print("  kq_savemedias " + quoteText(args.word("path")) + " = " + std::to_string(result));
    return result == 1 ? true : console.fail("savemedias: cannot write " + args.word("path"));
}

}  // namespace

void addFileCommands(CommandTable &table) {
    table.group("Files");
    table.add("file", "N local destination", "send a file through the transfer worker, with a progress bar", file);
    table.add("sendfile", "N local destination", "send a file whole, at once", sendFile);
    table.add("font", "N path", "send a font file (stored as FONTS_DIR/ and its name)", font);
    table.add("get", "N name out", "fetch a file from the terminal and write it to out", get);
    table.add("mediaconf", "N path", "send the media configuration file, then reload", [](Console &console, const Args &args) {
        return configurationFile(console, args, "mediaconf", "kq_sendmediaconf", kq_sendmediaconf);
    });
    table.add("sensorconf", "N path", "send the presence-sensor configuration file, then reload",
              [](Console &console, const Args &args) {
                  return configurationFile(console, args, "sensorconf", "kq_sendpresencesensorconf",
                                           kq_sendpresencesensorconf);
              });
    table.add("medias", "N", "ask for the terminal's media list and show it", medias);
    table.add("savemedias", "path entries...", "write a media list file from entries", saveMedias);
}

}  // namespace ks318::tools
