// The retained state of each terminal of the site (ks318/<site>/terminals/<id>):
// published when a terminal's id becomes known and when it leaves. It carries
// the library's terminal id (terminal_id), which names the connection for as
// long as it lives, and the number the terminal had when the state went out
// (numbers close up as others leave; the state is not republished for that).
// Also the table the commands find their terminals in, by id.
//
// The states of the terminals here go out again at every connection to the
// broker (republish()), for a broker that lost them. A departed terminal's state
// goes out through `publishGone`, which the bridge gives a message expiry: the
// broker forgets it after a while instead of keeping every terminal ever seen.
//
// States from an earlier run that the broker still keeps as connected are
// corrected: retainedSeen() republishes them as connected:false unless a
// terminal of that id is here now. Every state goes out under one lock, so
// that a correction and a terminal's own state never cross.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/fleet/topics.h"
#include "tools/shop/terminal_registry.h"

namespace ks318::bridge {

class TerminalStates {
public:
    // Publishes a retained QoS 1 message.
    using Publish = std::function<void(const std::string &topic, const std::string &payload)>;
    // The number of the terminal of this library id now; 0 when it has left.
    using NumberOf = std::function<int(std::int32_t terminalId)>;

    // `publishGone` (nothing: `publish`) publishes the states of departed terminals.
    TerminalStates(const fleet::SiteTopics &topics, NumberOf numberOf, Publish publish, Publish publishGone = nullptr);

    void identified(const std::shared_ptr<web::TerminalRecord> &record, const std::string &id);
    void departed(const std::shared_ptr<web::TerminalRecord> &record, const std::string &id);
    // Every connected terminal's state again (a new connection to the broker).
    void republish();
    // A retained state the broker holds for this site.
    void retainedSeen(const std::string &id, const std::string &payload);

    struct Known {
        std::string id;
        std::shared_ptr<web::TerminalRecord> record;
    };
    // The terminals here whose id is known; those of one id, when given.
    std::vector<Known> known() const;
    std::vector<Known> withId(const std::string &id) const;

private:
    struct Entry {
        std::string id;
        std::shared_ptr<web::TerminalRecord> record;
    };
    nlohmann::json stateOf(const std::string &id, int number, const web::TerminalRecord &record, bool connected) const;
    void publishState(Entry &entry);  // under mutex_

    const fleet::SiteTopics &topics_;
    const NumberOf numberOf_;
    const Publish publish_;
    const Publish publishGone_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace ks318::bridge
