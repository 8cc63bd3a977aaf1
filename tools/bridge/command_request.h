// A command as it comes from the broker, made into the dashboard's action
// request: the topic gives the action and the targets, the payload the rest.
// Files come inside the command ("data" in base64, "filename" saying the type)
// instead of as the dashboard's upload id. Everything is checked here that can
// be without the terminals; the action runner checks the remaining fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ks318::bridge {

// A command refused as a whole, with the reason in words.
struct CommandRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CommandFile {
    std::string filename;
    std::string bytes;
};

struct CommandRequest {
    std::string action;
    nlohmann::json fields;            // the dashboard's request, without action, targets and upload
    std::optional<CommandFile> file;  // picture, file and font
    std::optional<std::int64_t> deadline;  // ms since 1970: not to be carried out after it
};

bool knownAction(const std::string &action);
bool actionTakesFile(const std::string &action);

// Throws CommandRefused. The size is checked before anything is parsed.
CommandRequest parseCommand(const std::string &action, std::string_view payload, std::size_t maxPayload);

}  // namespace ks318::bridge
