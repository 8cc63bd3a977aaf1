#include "tools/console/console.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "tools/console/command_table.h"

namespace ks318::tools {

std::string terminalName(std::int32_t terminal) {
    return (isTerminalId(terminal) ? "id " : "") + std::to_string(terminal);
}

Console::Console(std::ostream &out) : out_(out), target_{this, &Console::onPost, &Console::onSend} {}

void Console::print(const std::string &line) {
    std::lock_guard lock(outputMutex_);
    out_ << line << '\n' << std::flush;
}

void Console::printBlock(const std::string &text) {
    std::lock_guard lock(outputMutex_);
    out_ << text << std::flush;
}

bool Console::fail(const std::string &line) {
    {
        std::lock_guard lock(mutex_);
        failed_ = true;
    }
    print("error: " + line);
    return false;
}

bool Console::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

double Console::secondsSinceStart() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool Console::execute(const std::string &line) {
    const ParsedLine parsed = consoleCommands().parse(line);
    if (!parsed.error.empty()) return fail(parsed.error);
    if (parsed.command == nullptr) return true;
    // The one place where a command learns how to name its terminal: given an
    // id, every export it calls takes the id, and reaches that terminal or none.
    const ThreadAddressing addressing(isTerminalId(parsed.args.terminal()) ? KQ_ADDRESS_BY_ID : KQ_ADDRESS_BY_NUMBER);
    try {
        return parsed.command->handler(*this, parsed.args);
    } catch (const std::exception &fault) {
        return fail(parsed.command->name + ": " + fault.what());
    }
}

bool Console::startServer(const std::string &bind, int port) {
    const int32_t started = kq_startserverex(&target_, kConnectMessage, kDataMessage, bind.c_str(), port);
    if (started != 1) return fail("the server did not start: " + std::string(kq_lastfailure()));
    print("KS318 library version " + std::to_string(kq_version()) + ", listening on " +
          (bind.empty() ? std::string("every address") : bind) + ", port " + std::to_string(kq_getserverport()));
    return true;
}

std::int32_t Console::connectedCount() {
    auto table = std::make_unique<KqConnectedTable>();
    return GetTabConectados(table.get()) != nullptr ? table->count : 0;
}

bool Console::isConnected(std::int32_t terminal) {
    if (isTerminalId(terminal)) return kq_terminalnumber(terminal) != 0;
    return terminal >= 1 && terminal <= connectedCount();
}

std::int32_t Console::idOf(std::int32_t terminal) {
    if (isTerminalId(terminal)) return kq_terminalnumber(terminal) != 0 ? terminal : 0;
    return terminal >= 1 ? kq_terminalid(terminal) : 0;
}

bool Console::checkTerminal(const std::string &command, std::int32_t terminal, Needs needs) {
    if (!isConnected(terminal))
        return fail(command + ": there is no terminal " + terminalName(terminal) + " (" +
                    std::to_string(connectedCount()) + " connected; list shows them)");
    // By the thread's addressing, which execute set for this terminal.
    const std::int32_t ident = kq_getident(terminal);
    const int version = KQ_IDENT_VERSION(ident);
    const int model = KQ_IDENT_MODEL(ident);
    if (needs == Needs::Model320 && model != 320)
        return fail(command + ": terminal " + terminalName(terminal) + " is a model " + std::to_string(model) +
                    "; only model 320 takes this command");
    if (needs == Needs::Version32 && version < 32)
        return fail(command + ": terminal " + terminalName(terminal) + " has version " + std::to_string(version) +
                    "; this command needs version 32 or above");
    return true;
}

bool Console::judge(const std::string &call, std::int32_t result) {
    // The library's reason, read before anything else calls into it on this thread.
    const std::string why = kq_lastfailure();
    print("  " + call + " = " + std::to_string(result));
    if (result > 0) return true;
    if (!why.empty()) return fail(call + ": " + why);
    switch (result) {
    case 0: return fail(call + ": nothing was sent");
    case -1: return fail(call + ": the write failed, or the terminal does not take this command");
    case -2: return fail(call + ": the terminal stayed busy with another frame");
    default: return fail(call + ": unexpected result");
    }
}

template <class Ready>
bool Console::waitUntil(Ready ready) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs_), ready);
}

std::uint64_t Console::seen(std::uint32_t code) const {
    std::lock_guard lock(mutex_);
    auto found = counts_.data.find(code);
    return found == counts_.data.end() ? 0 : static_cast<std::uint64_t>(found->second);
}

bool Console::waitPast(std::uint32_t code, std::uint64_t mark) {
    const bool came = waitUntil([&] { return static_cast<std::uint64_t>(counts_.data[code]) > mark; });
    if (came) {
        std::lock_guard lock(mutex_);
        waitedFor_[code] = std::max<std::uint64_t>(waitedFor_[code], static_cast<std::uint64_t>(counts_.data[code]));
    }
    return came;
}

bool Console::waitData(std::uint32_t code, int count) {
    const bool came = waitUntil([&] {
        return static_cast<std::uint64_t>(counts_.data[code]) >= waitedFor_[code] + static_cast<std::uint64_t>(count);
    });
    if (came) {
        std::lock_guard lock(mutex_);
        waitedFor_[code] += static_cast<std::uint64_t>(count);
    }
    return came;
}

bool Console::waitTerminals(int count) {
    // Identification is the library's to report: poll its listing, which holds
    // the identified terminals alone. The identifier's answer (28) that follows
    // every handshake is waited for too, so that a listing shows it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    for (;;) {
        const std::int32_t connected = connectedCount();
        bool identified = connected >= count && kq_listterminals(nullptr, 0) >= connected;
        {
            std::lock_guard lock(mutex_);
            identified = identified && counts_.data[28] >= counts_.connects - counts_.disconnects;
        }
        if (identified) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<Console::ReceivedFile> Console::takeFile(std::int32_t terminal, const std::string &name) {
    std::lock_guard lock(mutex_);
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) {
        if (it->terminal == terminal && it->name == name) {
            ReceivedFile file = std::move(*it);
            files_.erase(std::next(it).base());
            return file;
        }
    }
    return std::nullopt;
}

void Console::forgetFile(std::int32_t terminal, const std::string &name) {
    std::lock_guard lock(mutex_);
    std::erase_if(files_, [&](const ReceivedFile &file) { return file.terminal == terminal && file.name == name; });
}

Console::Counts Console::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace ks318::tools
