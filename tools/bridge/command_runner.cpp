#include "tools/bridge/command_runner.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "tools/bridge/command_request.h"
#include "tools/shop/event_hub.h"

namespace ks318::bridge {

CommandRunner::CommandRunner(const fleet::SiteTopics &topics, web::ActionRunner &actions, web::UploadStore &uploads,
                             const TerminalStates &states, TerminalStates::NumberOf numberOf, std::size_t maxPayload)
    : topics_(topics), actions_(actions), uploads_(uploads), states_(states), numberOf_(std::move(numberOf)),
      maxPayload_(maxPayload) {}

nlohmann::json CommandRunner::run(const fleet::SiteTopics::Command &command, std::string_view payload,
                                  std::optional<std::chrono::steady_clock::time_point> expiry) {
    nlohmann::json answer = {{"site", topics_.site()}, {"action", command.action}};
    try {
        CommandRequest request = parseCommand(command.action, payload, maxPayload_);
        // Whoever sent it has stopped waiting: carried out now, it would be done unseen.
        if ((request.deadline && web::millisecondsSinceEpoch() > *request.deadline) ||
            (expiry && std::chrono::steady_clock::now() > *expiry))
            throw CommandRefused("the command expired before it could be carried out; it was not");

        // The connected ones, in the order they came (by library id). The runner reaches
        // each by its library id, so a terminal that leaves meanwhile is missed, never
        // taken for another; the ids at the broker go back into the results by place.
        std::vector<TerminalStates::Known> chosen;
        for (TerminalStates::Known &terminal :
             command.terminalId ? states_.withId(*command.terminalId) : states_.known())
            if (numberOf_(terminal.record->id) > 0) chosen.push_back(std::move(terminal));
        if (command.terminalId && chosen.empty())
            throw CommandRefused("no terminal \"" + *command.terminalId + "\" at site " + topics_.site());
        std::sort(chosen.begin(), chosen.end(), [](const auto &a, const auto &b) { return a.record->id < b.record->id; });
        std::vector<std::shared_ptr<web::TerminalRecord>> records;
        for (const TerminalStates::Known &terminal : chosen) records.push_back(terminal.record);

        nlohmann::json dashboardRequest = std::move(request.fields);
        dashboardRequest["action"] = command.action;
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

        nlohmann::json outcome = actions_.run(dashboardRequest, records);
        nlohmann::json results = nlohmann::json::array();
        std::size_t place = 0;
        for (nlohmann::json &result : outcome["results"]) {
            result["id"] = chosen.at(place++).id;
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
