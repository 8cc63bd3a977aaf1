// Which id each terminal goes by at the broker, and the order its events go out.
//
// A terminal's id is its identifier text (00:1A:2B:3C:4D:5E) once it has
// identified, or its address and its connection's library id (10.0.0.5~65538)
// when it has none (all zero) or has not identified within kIdentifyWait of its
// connect: terminals behind one address stay apart. A terminal that claims an
// identifier another connected terminal already goes by gets it with its
// library id (00:1A:2B:3C:4D:5E~65539), and a Duplicate step reports it. Until the id is known its
// events are held, in order; then they go out in that order, and every later
// one goes out at once. Not thread-safe: the forwarder's thread owns it.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/shop/event_hub.h"
#include "tools/shop/terminal_registry.h"

namespace ks318::bridge {

// The event kinds that go to the broker.
bool forwardedKind(const std::string &kind);

// The id a terminal goes by: its identifier text when that is usable and not
// all zero, else its address with its library id.
std::string terminalId(const std::string &uid, const std::string &address, std::int32_t libraryId);
// `id` made distinct with the library id: id~libraryId, within 64 characters.
std::string distinctId(const std::string &id, std::int32_t libraryId);

class TerminalIdentities {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kIdentifyWait{2000};

    struct Step {
        enum class Kind {
            Identified,  // the terminal's id is known (again, when its identity changed)
            Forward,     // an event to send, under the terminal's id
            Departed,    // the terminal left; nothing more comes for it
            Duplicate,   // the terminal claimed an identifier in use; `event` says which and who holds it
        };
        Kind kind;
        std::shared_ptr<web::TerminalRecord> record;
        std::string id;
        nlohmann::json event;  // Forward: the event's body
        std::string eventKind;
    };

    // One event from the hub; what follows from it is appended to `steps`.
    void accept(const web::Event &event, const std::shared_ptr<web::TerminalRecord> &source, Clock::time_point now,
                std::vector<Step> &steps);
    // Terminals that did not identify in time go by their address from now on.
    void expire(Clock::time_point now, std::vector<Step> &steps);
    // When the next terminal's wait ends; nothing when none waits.
    std::optional<Clock::time_point> nextDeadline() const;
    // Every terminal still waiting goes by its address now (the program stops).
    void resolveAll(std::vector<Step> &steps);
    std::size_t waitingEvents() const;

private:
    struct Terminal {
        std::string address;
        std::optional<std::string> id;
        Clock::time_point deadline;
        std::deque<std::pair<std::string, nlohmann::json>> held;  // kind, body
    };
    Terminal &terminalFor(const std::shared_ptr<web::TerminalRecord> &record, Clock::time_point now);
    void resolve(const std::shared_ptr<web::TerminalRecord> &record, Terminal &terminal, std::string id,
                 std::vector<Step> &steps);

    std::map<std::shared_ptr<web::TerminalRecord>, Terminal> terminals_;
};

}  // namespace ks318::bridge
