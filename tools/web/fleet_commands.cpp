#include "tools/web/fleet_commands.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <vector>


#include "tools/fleet/base64.h"
#include "tools/fleet/topics.h"
#include "tools/shop/actions.h"
#include "tools/shop/event_hub.h"

namespace ks318::web {
namespace {

using nlohmann::json;

// Room left in an MQTT message for the command's other fields.
constexpr std::uint64_t kMaxEncodedFile = 268435455ull - 65536;

[[noreturn]] void refuse(int status, const std::string &reason) { throw ActionRefused{status, reason}; }

bool knownAction(const std::string &action) {
    static const std::vector<std::string> known = {"picture", "fill", "text", "file", "font", "volume", "brightness",
                                                   "audio", "sensor", "keyboard", "cardreader", "restart", "live"};
    return std::find(known.begin(), known.end(), action) != known.end();
}

bool carriesFile(const std::string &action) { return action == "picture" || action == "file" || action == "font"; }

std::string newCorrelation() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
                  static_cast<unsigned long long>(random()));
    return text;
}

// The terminal ids of a list, in order, each once; nothing for "all".
std::vector<std::string> targetIds(const json &targets) {
    std::vector<std::string> ids;
    if (targets.is_string() && targets.get<std::string>() == "all") return ids;
    if (!targets.is_array() || targets.empty())
        refuse(400, "targets must be \"all\" or a list of terminal ids (\"00:1A:2B:3C:4D:5E\")");
    if (targets.size() > FleetCommands::kMaxTargets) refuse(400, "at most 1024 terminal ids in targets");
    for (const json &target : targets) {
        if (!target.is_string() || !fleet::validTerminalId(target.get<std::string>()))
            refuse(400, "each target must be a terminal id: 1 to 64 printable characters without space, '/', '+' or '#'");
        std::string id = target.get<std::string>();
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
    }
    return ids;
}

// The upload's bytes as base64.
std::string encodedFile(const Upload &upload) {
    if ((upload.size + 2) / 3 * 4 > kMaxEncodedFile) refuse(413, "the file is too large for an MQTT message");
    std::ifstream in(upload.path, std::ios::binary);
    std::vector<unsigned char> bytes(upload.size);
    if (!in || !in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        refuse(404, "the upload \"" + upload.id + "\" cannot be read any more");
    return fleet::encodeBase64(bytes.data(), bytes.size());
}

}  // namespace

json FleetCommands::run(const json &request) {
    if (!request.is_object()) refuse(400, "the body must be a JSON object");
    if (!request.contains("site") || !request["site"].is_string() || !fleet::validSiteName(request["site"].get<std::string>()))
        refuse(400, "the body needs \"site\": a site name of 1 to 64 of A-Z a-z 0-9 _ -");
    const std::string site = request["site"].get<std::string>();
    if (!request.contains("action") || !request["action"].is_string()) refuse(400, "the body needs \"action\": a name");
    const std::string action = request["action"].get<std::string>();
    if (!knownAction(action)) refuse(400, "unknown action \"" + action.substr(0, 40) + "\"");
    if (!request.contains("targets")) refuse(400, "the body needs \"targets\"");
    const std::vector<std::string> ids = targetIds(request["targets"]);

    // The command: the action's own fields; the topic names the action and the terminals.
    json command = request;
    command.erase("site");
    command.erase("action");
    command.erase("targets");
    std::shared_ptr<const Upload> upload;
    if (carriesFile(action)) {
        if (!command.contains("upload") || !command["upload"].is_string() || command["upload"].get<std::string>().size() > 64)
            refuse(400, "the action needs \"upload\": an upload's id");
        const std::string id = command["upload"].get<std::string>();
        upload = uploads_.find(id);
        if (!upload) refuse(404, "no upload \"" + id + "\"");
    }
    if (!connection_.connected()) refuse(503, "the fleet's broker is not connected");
    if (!view_.knowsSite(site)) refuse(404, "no site \"" + site + "\" on the fleet's broker");
    if (upload) {
        command.erase("upload");
        command["data"] = encodedFile(*upload);
        // Its stored name: the extension says the file's type, as on this program's own terminals.
        command["filename"] = upload->path.filename().string();
    }
    // After its deadline no bridge carries it out, and the broker drops it undelivered.
    const auto lifetime = std::max<std::chrono::milliseconds>(std::chrono::milliseconds(1000), answerWait_ - kCarryOutBound);
    command["deadline"] = millisecondsSinceEpoch() + lifetime.count();
    const auto expirySeconds = static_cast<std::uint32_t>((lifetime.count() + 999) / 1000);
    const std::string payload = command.dump(-1, ' ', false, json::error_handler_t::replace);

    struct Sent {
        std::string topic;
        std::string correlation;
        bool published = false;
    };
    std::vector<Sent> sent;
    const fleet::SiteTopics topics(site);
    if (ids.empty()) sent.push_back({topics.commandTopic("", action), newCorrelation()});
    for (const std::string &id : ids) sent.push_back({topics.commandTopic(id, action), newCorrelation()});
    {
        // Waited for before it is sent: an answer may come before publish returns.
        std::lock_guard lock(mutex_);
        for (const Sent &command : sent) pending_[command.correlation];
    }
    auto forget = [&] {
        std::lock_guard lock(mutex_);
        for (const Sent &command : sent) pending_.erase(command.correlation);
    };
    for (std::size_t i = 0; i < sent.size(); ++i) {
        std::string error;
        bool tooLarge = false;
        sent[i].published =
            connection_.publishCommand(sent[i].topic, payload, sent[i].correlation, expirySeconds, error, tooLarge);
        if (!sent[i].published && (i == 0 || tooLarge)) {
            // Nothing went out (or nothing can): the request fails as a whole. A
            // later command that could not go out is listed as unanswered.
            forget();
            refuse(tooLarge ? 413 : 503, error);
        }
    }

    std::vector<std::optional<std::string>> answers(sent.size());
    {
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + answerWait_;
        auto allIn = [&] {
            for (const Sent &command : sent)
                if (command.published && !pending_[command.correlation].payload) return false;
            return true;
        };
        arrived_.wait_until(lock, deadline, [&] { return released_ || allIn(); });
        for (std::size_t i = 0; i < sent.size(); ++i) {
            answers[i] = std::move(pending_[sent[i].correlation].payload);
            pending_.erase(sent[i].correlation);
        }
    }

    json results = json::array();
    json unanswered = json::array();
    std::optional<std::string> refusal;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const json answer = answers[i] ? json::parse(*answers[i], nullptr, false) : json();
        if (answer.is_object() && answer.contains("error")) {
            if (!refusal)
                refusal = answer["error"].is_string() ? answer["error"].get<std::string>() : answer["error"].dump();
        } else if (answer.is_object() && answer.contains("results") && answer["results"].is_array()) {
            for (const json &result : answer["results"]) results.push_back(result);
        } else {
            // Not answered in time, not sent, or answered with something that is no answer.
            unanswered.push_back(sent[i].topic);
        }
    }
    if (refusal) refuse(400, *refusal);
    return {{"site", site}, {"action", action}, {"results", results}, {"unanswered", unanswered}};
}

void FleetCommands::answered(std::string_view correlation, std::string_view payload) {
    if (payload.size() > kMaxAnswer) return;
    {
        std::lock_guard lock(mutex_);
        const auto found = pending_.find(std::string(correlation));
        if (found == pending_.end() || found->second.payload) return;  // late, unknown or repeated
        found->second.payload = std::string(payload);
    }
    arrived_.notify_all();
}

void FleetCommands::release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    arrived_.notify_all();
}

}  // namespace ks318::web
