#include "tools/shop/actions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "ks318.h"
#include "sim/screen_text.h"
#include "sim/wire.h"
#include "tools/shop/address_by_id.h"

namespace ks318::web {
namespace {

using nlohmann::json;

[[noreturn]] void refuse(int status, const std::string &reason) { throw ActionRefused{status, reason}; }

struct Target {
    std::size_t index;  // its place in the results
    int number;         // the number it was named by, or had when chosen: shown, never sent to
    std::int32_t id;    // what every command names; 0 when no terminal had that number
    std::shared_ptr<TerminalRecord> record;  // null when this program does not know the terminal
};

// The terminals an action is for: "all", a list of ids or numbers (told apart by
// value, numbers read in one snapshot), or {"model": N}. "all" and a model take
// the registry's terminals as they are at this moment.
std::vector<Target> resolveTargets(const json &targets, const TerminalRegistry &registry) {
    std::vector<Target> chosen;
    if (targets.is_string() && targets.get<std::string>() == "all") {
        for (const auto &entry : registry.list())
            chosen.push_back({chosen.size(), entry.number, entry.record->id, entry.record});
    } else if (targets.is_array()) {
        if (targets.size() > KQ_MAX_TERMINALS) refuse(400, "at most 1024 terminals in targets");
        const std::map<std::int32_t, int> numbers = TerminalRegistry::numbersNow();
        std::map<int, std::int32_t> ids;
        for (const auto &[id, number] : numbers) ids.emplace(number, id);
        for (const json &named : targets) {
            if (!named.is_number_integer() || named.get<std::int64_t>() < 1 || named.get<std::int64_t>() > INT32_MAX)
                refuse(400, "targets must hold terminal ids or numbers (whole numbers from 1)");
            const auto value = static_cast<std::int32_t>(named.get<std::int64_t>());
            Target target{chosen.size(), value, 0, nullptr};
            if (value >= KQ_FIRST_TERMINAL_ID) {
                target.id = value;
                auto found = numbers.find(value);
                target.number = found == numbers.end() ? 0 : found->second;
            } else if (auto found = ids.find(value); found != ids.end()) {
                target.id = found->second;
            }
            if (target.id != 0) target.record = registry.find(target.id);
            chosen.push_back(std::move(target));
        }
    } else if (targets.is_object() && targets.size() == 1 && targets.contains("model")) {
        if (!targets["model"].is_number_integer()) refuse(400, "targets.model must be a model number");
        const std::int64_t model = targets["model"].get<std::int64_t>();
        for (const auto &entry : registry.list())
            if (entry.record->model == model) chosen.push_back({chosen.size(), entry.number, entry.record->id, entry.record});
    } else {
        refuse(400, "targets must be \"all\", a list of terminal ids or numbers or {\"model\": N}");
    }
    return chosen;
}

std::int32_t integerField(const json &request, const char *name, std::int64_t low, std::int64_t high,
                          std::optional<std::int32_t> fallback = std::nullopt) {
    if (!request.contains(name)) {
        if (fallback) return *fallback;
        refuse(400, std::string("the action needs \"") + name + "\"");
    }
    const json &value = request[name];
    if (!value.is_number_integer() || value.get<std::int64_t>() < low || value.get<std::int64_t>() > high)
        refuse(400, std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high));
    return static_cast<std::int32_t>(value.get<std::int64_t>());
}

std::string textField(const json &request, const char *name, std::size_t maxBytes, bool required = true) {
    if (!request.contains(name)) {
        if (!required) return "";
        refuse(400, std::string("the action needs \"") + name + "\"");
    }
    const json &value = request[name];
    if (!value.is_string()) refuse(400, std::string("\"") + name + "\" must be a text");
    std::string text = value.get<std::string>();
    if (text.size() > maxBytes)
        refuse(400, std::string("\"") + name + "\" may have at most " + std::to_string(maxBytes) + " bytes");
    return text;
}

bool switchField(const json &request) {
    if (!request.contains("on") || !request["on"].is_boolean()) refuse(400, "the action needs \"on\": true or false");
    return request["on"].get<bool>();
}

// Why a target was not sent to: no terminal had its number when it was chosen.
std::string nobodyAt(const Target &target) { return "no terminal " + std::to_string(target.number); }

// On a thread in id mode.
int modelOf(const Target &target) {
    return target.record ? target.record->model : KQ_IDENT_MODEL(kq_getident(target.id));
}

// The model-320 settings: set with a value, or ask and read the answer.
struct Setting {
    std::int32_t (*set)(std::int32_t, std::int32_t);
    std::int32_t (*ask)(std::int32_t);
    std::uint32_t answer;
    std::int32_t (*read)(std::int32_t);
};

const std::map<std::string, Setting> &settings() {
    static const std::map<std::string, Setting> table = {
        {"volume", {kq_setvolume, kq_pedevolume, KQ_NOTIFY_VOLUME, kq_getvolume}},
        {"brightness", {kq_setbrightness, kq_pedebrightness, KQ_NOTIFY_BRIGHTNESS, kq_getbrightness}},
        {"audio", {kq_setaudio, kq_pedeaudiostatus, KQ_NOTIFY_AUDIO, kq_getaudiostatus}},
        {"sensor", {kq_setsensor, kq_pedesensorstatus, KQ_NOTIFY_SENSOR, kq_getsensorstatus}},
    };
    return table;
}

constexpr auto kAnswerWait = std::chrono::seconds(5);

// Runs `work` for every target, on a few threads when there are many: a slow or
// busy terminal then holds up only the thread it is on while the others go on,
// and a broadcast's sends overlap as a host's own threads would.
template <class Work>
void forEachTarget(const std::vector<Target> &targets, Work &&work) {
    constexpr std::size_t kMostThreads = 4;
    constexpr std::size_t kTargetsPerThread = 16;
    const std::size_t threads = std::min(kMostThreads, targets.size() / kTargetsPerThread);
    if (threads <= 1) {
        for (const Target &target : targets) work(target);
        return;
    }
    std::atomic<std::size_t> next{0};
    const auto take = [&] {
        for (std::size_t index; (index = next.fetch_add(1)) < targets.size();) work(targets[index]);
    };
    std::vector<std::thread> others;
    for (std::size_t k = 1; k < threads; ++k) others.emplace_back(take);
    take();
    for (std::thread &other : others) other.join();
}

}  // namespace

std::string statusOf(std::int32_t result, const std::string &reason) {
    if (result > 0) return "sent";
    if (result == -2) return "busy";
    if (reason.find(" is model ") != std::string::npos || reason.find("terminal version") != std::string::npos)
        return "refused by model";
    if (reason.rfind("no terminal", 0) == 0) return "no terminal";
    return "failed";
}

json ActionRunner::run(const json &request) { return carryOut(request, nullptr); }

json ActionRunner::run(const json &request, const std::vector<std::shared_ptr<TerminalRecord>> &terminals) {
    return carryOut(request, &terminals);
}

json ActionRunner::carryOut(const json &request, const std::vector<std::shared_ptr<TerminalRecord>> *given) {
    if (!request.is_object()) refuse(400, "the body must be a JSON object");
    if (!request.contains("action") || !request["action"].is_string()) refuse(400, "the body needs \"action\": a name");
    const std::string action = request["action"].get<std::string>();
    static const std::vector<std::string> kKnown = {"picture", "fill", "text", "file", "font", "volume", "brightness",
                                                    "audio", "sensor", "keyboard", "cardreader", "restart", "live"};
    if (std::find(kKnown.begin(), kKnown.end(), action) == kKnown.end())
        refuse(400, "unknown action \"" + action.substr(0, 40) + "\"");
    if (!given && !request.contains("targets")) refuse(400, "the body needs \"targets\"");

    // Every argument is checked before anything is sent.
    std::shared_ptr<const Upload> upload;
    if (action == "picture" || action == "file" || action == "font") {
        const std::string id = textField(request, "upload", 64);
        upload = uploads_.find(id);
        if (!upload) refuse(404, "no upload \"" + id + "\"");
    }
    std::int32_t index = 0, x = 0, y = 0, colour = 15, height = 0;
    std::string words, font, destination;
    std::optional<std::int32_t> value;
    bool on = false;
    if (action == "fill") index = integerField(request, "index", 0, 65535);
    if (action == "text") {
        x = integerField(request, "x", -32768, 32767);
        y = integerField(request, "y", -32768, 32767);
        words = textField(request, "text", 127);
        colour = integerField(request, "colour", 0, 255, 15);
        height = integerField(request, "height", 0, 200, 0);
        font = textField(request, "font", 31, false);
    }
    if (action == "file") {
        destination = textField(request, "name", KQ_FILE_NAME_BYTES - 1);
        if (destination.empty()) refuse(400, "\"name\" must not be empty");
    }
    if (settings().count(action) && request.contains("value"))
        value = integerField(request, "value", INT32_MIN, INT32_MAX);
    if (action == "keyboard" || action == "cardreader") on = switchField(request);
    std::vector<Target> targets;
    if (given) {
        const std::map<std::int32_t, int> numbers = TerminalRegistry::numbersNow();
        for (const std::shared_ptr<TerminalRecord> &record : *given) {
            const auto found = record ? numbers.find(record->id) : numbers.end();
            targets.push_back({targets.size(), found == numbers.end() ? 0 : found->second, record ? record->id : 0,
                               record});
        }
    } else {
        targets = resolveTargets(request["targets"], registry_);
    }
    // Every command below names its terminal by id: it reaches the terminal chosen or
    // fails ("no terminal id N"), whoever left meanwhile. forEachTarget's threads set
    // the mode for themselves (see `each`).
    AddressById byId;

    const std::uint64_t id = nextId_++;
    // One result per target, in the targets' order, whichever thread reports it.
    json results = json::array();
    results.get_ref<json::array_t &>().resize(targets.size());
    // `announce`: an "action" event tells the streams (a file transfer tells its own as it goes).
    auto report = [&](const Target &target, std::int32_t result, const std::string &reason, json extra = json::object(),
                      bool announce = true) {
        const std::string status = statusOf(result, reason);
        if (result > 0 && target.record) ++target.record->framesOut;
        json outcome = {{"terminal", target.number}, {"terminal_id", target.id}, {"result", result}, {"status", status},
                        {"reason", reason}};
        for (auto &[key, item] : extra.items()) outcome[key] = item;
        results[target.index] = std::move(outcome);
        if (announce)
            events_.publish("action", {target.number, target.id},
                        {{"id", id}, {"action", action}, {"status", status}, {"result", result}, {"progress", nullptr}});
    };
    // A screen command: sent and shown on the mirror in one order.
    auto sendScreen = [&](const Target &target, auto showOnMirror, auto send) {
        std::unique_lock<std::mutex> order;
        if (target.record) order = std::unique_lock(target.record->mirror.sendOrder());
        const std::int32_t result = send();
        const std::string reason = kq_lastfailure();
        if (result > 0 && target.record)
            if (const std::uint64_t revision = showOnMirror(target.record->mirror))
                registry_.screenChanged(*target.record, revision);
        order = {};
        report(target, result, reason);
    };
    auto sendFrame = [&](const Target &target, const sim::Frame &frame, auto send) {
        sendScreen(target, [&](ScreenMirror &mirror) { return mirror.apply(frame); }, send);
    };
    // `work` for every target that had a terminal, on forEachTarget's threads, each in id mode.
    auto each = [&](auto work) {
        forEachTarget(targets, [&](const Target &target) {
            AddressById threadById;
            if (target.id == 0) report(target, 0, nobodyAt(target));
            else work(target);
        });
    };

    if (action == "picture") {
        // Converted once for each screen size, then sent as it is to every terminal of that size.
        struct Converted {
            std::int32_t pixels = 0;
            std::string reason;
            std::shared_ptr<const sim::Frame> frame;  // shared by the mirrors it is shown on
        };
        std::map<bool, Converted> bySize;  // key: a 320 x 240 screen
        for (const Target &target : targets) {
            const bool small = modelOf(target) == 318;
            if (bySize.count(small)) continue;
            Converted converted;
            sim::Bytes bytes(KQ_PALETTE_BYTES + KQ_PIXELS_OTHER);
            converted.pixels = kq_convertimgfromfile(upload->path.c_str(), small ? 318 : 320, bytes.data(),
                                                     bytes.data() + KQ_PALETTE_BYTES);
            converted.reason = kq_lastfailure();
            bytes.resize(KQ_PALETTE_BYTES + static_cast<std::size_t>(std::max(converted.pixels, 0)));
            const auto length = static_cast<std::int32_t>(bytes.size());
            converted.frame = std::make_shared<const sim::Frame>(sim::Frame{37, length, std::move(bytes)});
            bySize.emplace(small, std::move(converted));
        }
        each([&](const Target &target) {
            const Converted &converted = bySize.at(modelOf(target) == 318);
            if (converted.pixels <= 0) {
                report(target, 0, converted.reason.empty() ? "the picture could not be converted" : converted.reason);
                return;
            }
            // kq_sendimage only reads the image; its parameters are not const for older hosts' sake.
            auto *palette = const_cast<std::uint8_t *>(converted.frame->payload.data());
            sendScreen(target, [&](ScreenMirror &mirror) { return mirror.showImage(converted.frame); },
                       [&] { return kq_sendimage(target.id, palette, palette + KQ_PALETTE_BYTES); });
        });
    } else if (action == "fill") {
        sim::Frame frame{33, 2, sim::le16(static_cast<std::uint16_t>(index))};
        each([&](const Target &target) {
            sendFrame(target, frame, [&] { return kq_fillscreen(target.id, index); });
        });
    } else if (action == "text") {
        sim::TextRecord record;
        record.x = static_cast<std::int16_t>(x);
        record.y = static_cast<std::int16_t>(y);
        record.text = words;
        record.fontName = font;
        record.builtByEnviaTexto = 1;
        record.colour = static_cast<std::int16_t>(colour);
        record.height = static_cast<std::int16_t>(height);
        const sim::Bytes bytes = record.encode();
        sim::Frame frame{35, static_cast<std::int32_t>(bytes.size()), bytes};
        each([&](const Target &target) {
            sendFrame(target, frame, [&] { return kq_sendtext(target.id, bytes.data()); });
        });
    } else if (action == "file") {
        for (const Target &target : targets) {
            if (target.id == 0) {
                report(target, 0, nobodyAt(target));
                continue;
            }
            std::string reason;
            const std::int32_t result =
                transfers_.start(id, {target.number, target.id}, target.record, upload, destination, reason);
            report(target, result, reason, json::object(), result != 1);
        }
    } else if (action == "font") {
        std::atomic<bool> sentOne{false};
        each([&](const Target &target) {
            const std::int32_t result = kq_sendfontfile(target.id, upload->path.c_str());
            report(target, result, kq_lastfailure());
            if (result > 0) sentOne = true;
        });
        // The terminals keep it as FONTS_DIR/<its stored name>; the mirrors draw texts naming it with it too.
        if (sentOne && !mirrorFonts_.empty()) {
            std::error_code ignored;
            std::filesystem::create_directories(mirrorFonts_ / "FONTS_DIR", ignored);
            std::filesystem::copy_file(upload->path, mirrorFonts_ / "FONTS_DIR" / upload->path.filename(),
                                       std::filesystem::copy_options::skip_existing, ignored);
        }
    } else if (auto setting = settings().find(action); setting != settings().end()) {
        const Setting &how = setting->second;
        if (value) {
            each([&](const Target &target) {
                const std::int32_t result = how.set(target.id, *value);
                report(target, result, kq_lastfailure());
            });
        } else {
            // Every question goes out first; the answers are then waited for together.
            struct Asked {
                Target target;
                std::int32_t result;
                std::string reason;
                std::uint64_t mark;
            };
            std::vector<Asked> asked;
            for (const Target &target : targets) {
                if (target.id == 0) {
                    asked.push_back({target, 0, nobodyAt(target), 0});
                    continue;
                }
                const std::uint64_t mark = target.record ? target.record->answersSeen(how.answer) : 0;
                const std::int32_t result = how.ask(target.id);
                asked.push_back({target, result, kq_lastfailure(), mark});
            }
            const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
            for (const Asked &question : asked) {
                json answer = nullptr;
                if (question.result > 0 && question.target.record &&
                    question.target.record->waitAnswer(how.answer, question.mark, deadline))
                    answer = how.read(question.target.id);
                report(question.target, question.result, question.reason, {{"value", answer}});
            }
        }
    } else if (action == "keyboard" || action == "cardreader") {
        each([&](const Target &target) {
            const std::int32_t result =
                action == "keyboard" ? HabilitaTeclado(target.id, on ? 1 : 0) : HabilitaLEC(target.id, on ? 1 : 0);
            report(target, result, kq_lastfailure());
        });
    } else if (action == "restart") {
        each([&](const Target &target) {
            const std::int32_t result = kq_restart(target.id);
            report(target, result, kq_lastfailure());
        });
    } else if (action == "live") {
        each([&](const Target &target) {
            const std::int32_t result = kq_sendlive(target.id);
            report(target, result, kq_lastfailure());
        });
    }
    return {{"action", action}, {"id", id}, {"results", results}};
}

}  // namespace ks318::web
