#include "tools/bridge/command_request.h"

#include <algorithm>
#include <array>

#include "tools/fleet/base64.h"

namespace ks318::bridge {
namespace {

constexpr std::size_t kMaxFilenameBytes = 255;
constexpr std::size_t kMaxActionShown = 40;

}  // namespace

bool knownAction(const std::string &action) {
    static const std::array<const char *, 13> kActions = {"picture", "fill",       "text",       "file",    "font",
                                                          "volume",  "brightness", "audio",      "sensor",  "keyboard",
                                                          "cardreader", "restart", "live"};
    return std::any_of(kActions.begin(), kActions.end(), [&](const char *known) { return action == known; });
}

bool actionTakesFile(const std::string &action) { return action == "picture" || action == "file" || action == "font"; }

CommandRequest parseCommand(const std::string &action, std::string_view payload, std::size_t maxPayload) {
    if (payload.size() > maxPayload)
        throw CommandRefused("the command's payload is larger than " + std::to_string(maxPayload) + " bytes");
    if (!knownAction(action)) throw CommandRefused("unknown action \"" + action.substr(0, kMaxActionShown) + "\"");

    CommandRequest request;
    request.action = action;
    if (payload.empty()) {
        request.fields = nlohmann::json::object();
    } else {
        request.fields = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
        if (request.fields.is_discarded()) throw CommandRefused("the payload is not valid JSON");
        if (!request.fields.is_object()) throw CommandRefused("the payload must be a JSON object");
    }
    nlohmann::json &fields = request.fields;
    if (fields.contains("targets")) throw CommandRefused("the topic names the targets: leave \"targets\" out");
    if (fields.contains("action")) {
        if (fields["action"] != action) throw CommandRefused("the payload's \"action\" is not the topic's");
        fields.erase("action");
    }
    if (fields.contains("deadline")) {
        const nlohmann::json &deadline = fields["deadline"];
        if (!deadline.is_number_integer() || deadline.get<std::int64_t>() < 0)
            throw CommandRefused("\"deadline\" must be a time in ms since 1970");
        request.deadline = deadline.get<std::int64_t>();
        fields.erase("deadline");
    }
    if (fields.contains("upload"))
        throw CommandRefused("a command carries its file in \"data\" (base64) and \"filename\", not \"upload\"");

    if (actionTakesFile(action)) {
        if (!fields.contains("data") || !fields["data"].is_string())
            throw CommandRefused("the action needs \"data\": the file's bytes in base64");
        if (!fields.contains("filename") || !fields["filename"].is_string())
            throw CommandRefused("the action needs \"filename\": a file name whose extension says its type");
        CommandFile file;
        file.filename = fields["filename"].get<std::string>();
        if (file.filename.empty() || file.filename.size() > kMaxFilenameBytes ||
            file.filename.find('\0') != std::string::npos)
            throw CommandRefused("\"filename\" must have 1 to 255 bytes");
        std::optional<std::string> bytes = fleet::decodeBase64(fields["data"].get_ref<const std::string &>());
        if (!bytes) throw CommandRefused("\"data\" is not valid base64");
        file.bytes = std::move(*bytes);
        fields.erase("data");
        fields.erase("filename");
        request.file = std::move(file);
    }
    return request;
}

}  // namespace ks318::bridge
