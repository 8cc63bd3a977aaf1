#include "tools/term/terminal_set.h"

#include <cstdio>
#include <thread>

#include "tools/common/words.h"
#include "tools/term/frame_log.h"

namespace ks318::tools {
namespace {

constexpr std::uint16_t kLiveSignal = 17;
constexpr std::uint16_t kIdentification = 20;

}  // namespace

void LineOut::line(const std::string &text) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%8.3f  ", seconds);
    std::lock_guard lock(mutex_);
    out_ << stamp << text << std::endl;
}

std::filesystem::path TerminalSet::filesOf(const TermSettings &settings, int i) {
    return settings.count == 1 ? settings.files : settings.files / std::to_string(i + 1);
}

std::string TerminalSet::screenOf(const TermSettings &settings, int i) {
    if (settings.screen.empty() || settings.count == 1) return settings.screen;
    const std::filesystem::path path(settings.screen);
    return (path.parent_path() / (path.stem().string() + "-" + std::to_string(i + 1) + path.extension().string())).string();
}

TerminalSet::TerminalSet(const TermSettings &settings, LineOut &out) : settings_(settings), out_(out) {
    units_.resize(static_cast<std::size_t>(settings.count));
    for (int i = 0; i < settings.count; ++i) {
        Unit &unit = units_[static_cast<std::size_t>(i)];
        unit.number = i + 1;
        sim::Identity identity;
        identity.model = static_cast<std::uint16_t>(settings.models[static_cast<std::size_t>(i) % settings.models.size()]);
        identity.version = static_cast<std::uint8_t>(settings.version);
        identity.uid = settings.uid;
        identity.uid[5] = static_cast<std::uint8_t>(identity.uid[5] + i);  // each terminal its own identifier
        identity.uidText = settings.count == 1 ? settings.uidText : settings.uidText + " " + std::to_string(i + 1);
        unit.terminal = std::make_unique<sim::SimTerminal>(identity);
        unit.terminal->limitReadRate(settings.readRate);
        unit.device = std::make_unique<sim::Device>(*unit.terminal);
        // A terminal that is there answers the server's live signal, here with its
        // identification (which the server takes silently): an idle terminal stays
        // connected instead of being dropped after two silent periods (30 s).
        unit.terminal->onFrame(kLiveSignal, [](sim::SimTerminal &self, const sim::Frame &) {
            self.send(kIdentification, self.identity().identificationWord());
        });
        const std::filesystem::path files = filesOf(settings, i);
        std::error_code error;
        std::filesystem::create_directories(files, error);
        unit.store = sim::installFileStore(*unit.terminal, files);
        unit.screen = sim::SimScreen::install(*unit.terminal);
        unit.screen->setFileDirectory(files);
        if (!settings.quiet) {
            const std::string prefix = "T" + std::to_string(unit.number) + " ";
            unit.terminal->observeFrames([this, prefix](sim::SimTerminal::Direction direction, const sim::Frame &frame) {
                out_.line(prefix + (direction == sim::SimTerminal::Direction::Received ? "<- " : "-> ") +
                          describeFrame(frame));
            });
        }
        const std::string png = screenOf(settings, i);
        say(unit, "model " + std::to_string(identity.model) + ", version " + std::to_string(identity.version) +
                      ", uid text " + quoteText(identity.uidText) + ", files in " + files.string() +
                      (png.empty() ? "" : ", screen " + png));
        if (!png.empty()) unit.screen->savePngAfterEachChange(png);
    }
}

TerminalSet::~TerminalSet() {
    for (Unit &unit : units_) unit.terminal->close();
}

void TerminalSet::say(const Unit &unit, const std::string &text) { out_.line("T" + std::to_string(unit.number) + " " + text); }

bool TerminalSet::connectAll() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(settings_.waitServerSeconds);
    // One after another, each through its handshake before the next connects: the
    // server numbers a terminal when its handshake is through, so T1, T2, ... get
    // numbers in that order (when no other terminal arrives meanwhile).
    for (Unit &unit : units_) {
        while (!unit.terminal->connect(settings_.server, settings_.port)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                say(unit, "cannot connect to " + settings_.server + ":" + std::to_string(settings_.port));
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!unit.terminal->waitForFrame(27, 5000)) {
            say(unit, "the server did not take the terminal through the handshake");
            return false;
        }
        say(unit, "identified");
    }
    return true;
}

bool TerminalSet::reportClosed() {
    bool none = true;
    for (Unit &unit : units_) {
        if (!unit.terminal->disconnected()) {
            none = false;
        } else if (!unit.reportedClosed) {
            unit.reportedClosed = true;
            say(unit, "connection closed");
        }
    }
    return none;
}

bool TerminalSet::run(const TermCommand &command) {
    using Kind = TermCommand::Kind;
    switch (command.kind) {
    case Kind::Sleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(command.number));
        return true;
    case Kind::Timeout:
        timeoutMs_ = static_cast<int>(command.number);
        return true;
    default:
        break;
    }
    bool ok = true;
    for (Unit &unit : units_)
        if (!command.terminal || *command.terminal == unit.number) ok = runOn(unit, command) && ok;
    return ok;
}

bool TerminalSet::runOn(Unit &unit, const TermCommand &command) {
    using Kind = TermCommand::Kind;
    sim::SimTerminal &terminal = *unit.terminal;
    auto failed = [&](const std::string &why) {
        say(unit, why);
        return false;
    };
    auto sent = [&](bool done, const char *what) {
        if (done) return true;
        if (terminal.disconnected()) return failed(std::string(what) + ": not connected");
        return failed(std::string(what) + ": not sent");
    };
    switch (command.kind) {
    case Kind::Key:
        if (!unit.device->keyboardEnabled()) return failed("key: the host has turned the keyboard off");
        return sent(unit.device->pressKey(static_cast<std::uint8_t>(command.number)), "key");
    case Kind::Keys:
        if (!unit.device->keyboardEnabled()) return failed("keys: the host has turned the keyboard off");
        for (char c : command.text)
            if (!sent(unit.device->pressKey(static_cast<std::uint8_t>(c)), "keys")) return false;
        return true;
    case Kind::Serial:
        return sent(unit.device->serialIn(static_cast<int>(command.number), sim::Bytes(command.text.begin(), command.text.end())),
                    "serial");
    case Kind::Card:
        if (!unit.device->cardReaderEnabled()) return failed("card: the host has turned the card reader off");
        return sent(unit.device->swipeCard(command.text, command.second), "card");
    case Kind::Sensor:
        unit.device->setSensorStatus(static_cast<std::int32_t>(command.number));
        return true;
    case Kind::Audio:
        unit.device->setAudioStatus(static_cast<std::int32_t>(command.number));
        return true;
    case Kind::Frame:
        return sent(terminal.send(static_cast<std::uint16_t>(command.number), command.bytes), "frame");
    case Kind::Screen:
        if (!unit.screen->savePng(command.text)) return failed("screen: cannot write " + command.text);
        say(unit, "screen written to " + command.text);
        return true;
    case Kind::WaitIdentified:
        return terminal.waitForFrame(27, timeoutMs_) ? true : failed("wait identified: timed out");
    case Kind::WaitFrame:
        if (terminal.waitForFrame(static_cast<std::uint16_t>(command.number), timeoutMs_, static_cast<std::size_t>(command.count)))
            return true;
        return failed("wait frame " + std::to_string(command.number) + ": timed out");
    case Kind::WaitDisconnected:
        return terminal.waitDisconnected(timeoutMs_) ? true : failed("wait disconnected: timed out");
    case Kind::Disconnect:
        terminal.close();
        return true;
    default:
        return true;  // the session's own commands are the caller's
    }
}

}  // namespace ks318::tools
