// How each terminal's last transfer worker ended, kept by terminal id so that a
// host can ask after the terminal has gone (a transfer that failed because the
// connection ended is the one a host most needs to hear of). The progress word
// tells only that a worker ended; this tells whether every byte was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "server/terminal_id.h"

namespace ks318::media {

enum class TransferState : std::int32_t { Running = 1, Whole = 2, Failed = 3 };

struct TransferOutcome {
    TransferState state = TransferState::Running;
    std::uint32_t sent = 0;  // bytes of the file written to the connection
    std::uint32_t size = 0;  // the file's size, 0 until it was opened
    std::string reason;      // why it failed; empty otherwise
};

class TransferOutcomes {
public:
    // Outcomes kept at most; past it the oldest ended ones are forgotten. A
    // terminal has at most one transfer running, so every running one fits.
    static constexpr std::size_t kKept = 4096;

    void started(TerminalId id);
    void ended(TerminalId id, TransferOutcome outcome);
    std::optional<TransferOutcome> find(TerminalId id) const;

private:
    void forgetOldest();

    mutable std::mutex mutex_;
    std::unordered_map<TerminalId, TransferOutcome> outcomes_;
    std::deque<TerminalId> order_;  // oldest first; an id appears once
};

// The library's outcomes, for every server it starts.
TransferOutcomes &transferOutcomes();

}  // namespace ks318::media
