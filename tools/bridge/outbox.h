// The outbox: events waiting for the broker, in order, in a folder of queue
// files that outlives the program.
//
// Appended events are buffered and written to the current queue file by
// flush(), one write for a whole batch and no fsync (a crash of the program
// loses nothing the kernel has; a power cut may lose the last moments). next()
// hands the oldest event not yet handed out; acknowledge() says the broker has
// it (its PUBACK came). Only acknowledged events leave the head, so whatever was
// not acknowledged when the program stopped is sent again after a restart: a
// subscriber may see an event twice (same boot and seq), never miss one, and
// sees each terminal's events in order.
//
// At most `limit` events are kept. When an append finds it full the oldest goes:
// one handed out (the client library holds it and still sends it) leaves without
// being counted; one never handed out is lost, and `dropped` counts it. The
// count is kept in the folder with the head's position (file "state").
//
// A full disk: a write that fails is cut back to the last whole record and its
// events stay in memory, in order, to be written once there is room; nothing on
// disk is lost for it. Past `unwrittenBytes` held that way the oldest event
// goes (counted in `dropped`), as for a full queue. A queue file wholly behind
// the head is removed even when it is the last one (a new, empty one takes its
// place), so delivered events always give their room back. The state is one
// fixed-size block rewritten in place: saving it needs no new room. Repeated
// warnings of one kind are told at most once per kRepeatWarning.
//
// Queue files are cut back to their last whole record when the folder is
// opened; each cut is told through `warn`. A lock file keeps a second program
// out of the folder. Not thread-safe: one thread owns an outbox.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/bridge/outbox_record.h"
#include "tools/bridge/unique_fd.h"

namespace ks318::bridge {

struct OutboxError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Outbox {
public:
    struct Settings {
        std::filesystem::path directory;
        std::size_t limit = 100000;
        std::uint64_t fileBytes = 1u << 20;  // a queue file is closed once this long
        std::size_t unwrittenBytes = 4u << 20;  // most bytes held in memory while writes fail
        // Appends to a queue file (::write when empty); tests put a small disk here.
        std::function<ssize_t(int fd, const void *data, std::size_t size)> write{};
    };
    using Warn = std::function<void(const std::string &)>;
    static constexpr std::chrono::seconds kRepeatWarning{10};

    // Opens the folder, making it when missing; throws OutboxError when it cannot
    // be used (not writable, or locked by another program).
    Outbox(Settings settings, Warn warn);
    ~Outbox();  // writes what is buffered and saves the state
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    void append(std::string_view topic, std::string_view payload);
    // Writes the buffered events to the queue file; false when they could not be
    // (they stay buffered).
    bool flush();
    // Saves the head's position and the dropped count when they changed, and
    // removes queue files wholly behind the head.
    void save();

    struct Entry {
        std::uint64_t index;  // this outbox's own number for the event, for acknowledge()
        OutboxMessage message;
    };
    // The oldest event not yet handed out (flushing first when it is still in
    // the buffer); nothing when every kept event has been handed out.
    std::optional<Entry> next();
    // The broker has the event: it may leave the queue. Unknown indexes (an event
    // already dropped) are ignored.
    void acknowledge(std::uint64_t index);

    std::size_t size() const { return handed_.size() + waiting_; }  // kept events
    std::size_t handedOut() const { return handed_.size(); }        // handed out, not acknowledged
    std::size_t waiting() const { return waiting_; }                // not yet handed out
    std::size_t unwritten() const { return bufferedCount_; }        // held in memory only
    std::uint64_t dropped() const { return dropped_; }

private:
    struct Position {
        std::uint64_t file = 0;
        std::uint64_t offset = 0;
        bool operator==(const Position &) const = default;
    };
    struct QueueFile {
        std::uint64_t number;
        std::uint64_t bytes;  // written to it (whole records)
    };
    struct Handed {
        std::uint64_t index;
        Position position;
        std::uint32_t bytes;
        bool acknowledged = false;
    };

    std::filesystem::path fileName(std::uint64_t number) const;
    void lockFolder();
    void loadState(Position &head);
    void recoverFiles(Position &head);
    // Checks a queue file, cutting it at its first damage; the count of records at or
    // after `from`, which moves to the first record boundary at or after it.
    std::uint64_t recoverFile(QueueFile &file, std::uint64_t &from);
    void openTail();
    void startNewTail();
    // Moves a position at the end of a queue file to the start of the next one.
    void settle(Position &position) const;
    const QueueFile *findFile(std::uint64_t number) const;
    // The record at `position` (flushed); its length in `recordBytes`.
    OutboxMessage readAt(const Position &position, std::size_t &recordBytes, bool wantMessage);
    void dropOldest();
    void dropOldestUnwritten();
    // A fully delivered last queue file makes way for an empty one.
    void rotateDelivered(Position &head);
    bool writeState(const Position &head);
    // `warn`, at most once per kRepeatWarning for one kind.
    void warnNow(const std::string &kind, const std::string &text);

    const Settings settings_;
    const Warn warn_;
    UniqueFd lock_;
    std::deque<QueueFile> files_;  // oldest first; the last one is written to
    UniqueFd tail_;
    std::string buffered_;         // records appended, not yet written
    std::size_t bufferedCount_ = 0;

    std::deque<Handed> handed_;    // handed out, oldest first, consecutive indexes
    Position sendPosition_;        // the next event to hand out
    std::uint64_t nextIndex_ = 0;  // its index
    std::size_t waiting_ = 0;      // events from sendPosition_ on, buffered ones included
    std::uint64_t dropped_ = 0;

    bool writeFailing_ = false;
    std::uint64_t droppedWhileFailing_ = 0;
    std::map<std::string, std::chrono::steady_clock::time_point> warned_;
    UniqueFd state_;

    Position savedHead_;
    std::uint64_t savedDropped_ = 0;
    bool stateSaved_ = false;

    // Reading: a window of one queue file.
    UniqueFd readFd_;
    std::uint64_t readFile_ = 0;
    std::uint64_t readStart_ = 0;
    std::string readBuffer_;
};

}  // namespace ks318::bridge
