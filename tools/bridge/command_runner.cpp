#include "tools/bridge/command_runner.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "tools/bridge/command_request.h"

namespace ks318::bridge {

CommandRunner::CommandRunner(const fleet::SiteTopics &topics, web::ActionRunner &actions, web::UploadStore &uploads,
                             const TerminalStates &states, TerminalStates::NumberOf numberOf, std::size_t maxPayload)
    : topics_(topics), actions_(actions), uploads_(uploads), states_(states), numberOf_(std::move(numberOf)),
      maxPayload_(maxPayload) {}

nlohmann::json CommandRunner::run(const fleet::SiteTopics::Command &command, std::string_view payload) {
    nlohmann::json answer = {{"site", topics_.site()}, {"action", command.action}};
    try {
        CommandRequest request = parseCommand(command.action, payload, maxPayload_);

        // The terminals by number, as the runner takes them; the ids go back into the results.
        const std::vector<TerminalStates::Known> chosen =
            command.terminalId ? states_.withId(*command.terminalId) : states_.known();
        std::map<int, std::string> idByNumber;
        for (const TerminalStates::Known &terminal : chosen)
            if (const int number = numberOf_(*terminal.record); number > 0) idByNumber[number] = terminal.id;
        if (command.terminalId && idByNumber.empty())
            throw CommandRefused("no terminal \"" + *command.terminalId + "\" at site " + topics_.site());
        nlohmann::json numbers = nlohmann::json::array();
        for (const auto &[number, id] : idByNumber) numbers.push_back(number);

        nlohmann::json dashboardRequest = std::move(request.fields);
        dashboardRequest["action"] = command.action;
        dashboardRequest["targets"] = numbers;
        std::shared_ptr<const web::Upload> upload;  // kept until the action is done with it
        if (request.file) {
            std::string error;
            bool tooLarge = false;
            const std::string &bytes = request.file->bytes;
            upload = uploads_.add(
                request.file->filename, [&](const web::UploadStore::Sink &sink) { return sink(bytes.data(), bytes.size()); },
                error, tooLarge);
            if (!upload) throw CommandRefused(error);
            dashboardRequest["upload"] = upload->id;
        }

        nlohmann::json outcome = actions_.run(dashboardRequest);
        nlohmann::json results = nlohmann::json::array();
        for (nlohmann::json &result : outcome["results"]) {
            const int number = result.value("terminal", 0);
            auto found = idByNumber.find(number);
            result["id"] = found == idByNumber.end() ? nlohmann::json(nullptr) : nlohmann::json(found->second);
            results.push_back(std::move(result));
        }
        answer["results"] = std::move(results);
    } catch (const CommandRefused &refused) {
        answer["error"] = refused.what();
    } catch (const web::ActionRefused &refused) {
        answer["error"] = refused.reason;
    } catch (const std::exception &problem) {
        answer["error"] = std::string("the command failed: ") + problem.what();
    }
    return answer;
}

}  // namespace ks318::bridge
