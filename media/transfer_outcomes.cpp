#include "media/transfer_outcomes.h"

#include <algorithm>

namespace ks318::media {

void TransferOutcomes::started(TerminalId id) {
    std::lock_guard lock(mutex_);
    if (outcomes_.count(id) != 0) order_.erase(std::find(order_.begin(), order_.end(), id));
    outcomes_[id] = TransferOutcome{};
    order_.push_back(id);
    forgetOldest();
}

void TransferOutcomes::ended(TerminalId id, TransferOutcome outcome) {
    std::lock_guard lock(mutex_);
    auto found = outcomes_.find(id);
    if (found != outcomes_.end()) found->second = std::move(outcome);
}

std::optional<TransferOutcome> TransferOutcomes::find(TerminalId id) const {
    std::lock_guard lock(mutex_);
    auto found = outcomes_.find(id);
    if (found == outcomes_.end()) return std::nullopt;
    return found->second;
}

void TransferOutcomes::forgetOldest() {
    for (auto it = order_.begin(); outcomes_.size() > kKept && it != order_.end();) {
        auto outcome = outcomes_.find(*it);
        if (outcome->second.state == TransferState::Running) {
            ++it;
            continue;
        }
        outcomes_.erase(outcome);
        it = order_.erase(it);
    }
}

TransferOutcomes &transferOutcomes() {
    // Never destroyed: a worker may still end while the process exits.
    static TransferOutcomes *outcomes = new TransferOutcomes();
    return *outcomes;
}

}  // namespace ks318::media
