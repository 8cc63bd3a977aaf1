// The terminals this program serves, fed by the library's notifications.
//
// Each terminal is kept under its id, which the library gives at accept and
// never changes or gives again: every handler learns the id of the terminal it
// is about with kq_notifiedterminal, and runs in id mode (see address_by_id.h),
// so that what it reads and asks is that terminal's. A number is only ever
// taken from the library at the moment it is shown. Every event a terminal
// causes is published with its id and its record.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ks318.h"
#include "tools/shop/event_hub.h"
#include "tools/shop/screen_mirror.h"

namespace ks318::web {

// What the device endpoint and the value actions wait for: the data codes,
// with the serial status told apart by port.
enum AnswerKey : std::uint32_t {
    kAnswerSerialStatus0 = KQ_NOTIFY_SERIAL_STATUS,
    kAnswerSerialStatus1 = 0x10000u | KQ_NOTIFY_SERIAL_STATUS,
};

struct TerminalRecord {
    TerminalRecord(std::int32_t id, std::uint16_t model, int version)
        : id(id), model(model), version(version), mirror(model) {}

    const std::int32_t id;  // the library's terminal id
    const std::uint16_t model;
    const int version;
    std::string address;
    std::int64_t connectedSince = 0;
    std::atomic<std::int64_t> lastHeard{0};
    std::atomic<std::uint64_t> framesIn{0};
    std::atomic<std::uint64_t> framesOut{0};
    ScreenMirror mirror;

    // Identity and the last answers read, under `mutex`.
    mutable std::mutex mutex;
    std::condition_variable answered;
    std::string uid;
    std::string uidText;
    std::map<std::uint32_t, std::uint64_t> answers;  // answers seen, by AnswerKey or data code
    std::optional<KqConfigRecord> config;
    std::optional<KqWifiRecord> wifi;
    std::array<std::optional<std::int16_t>, 2> serialStatus;

    std::uint64_t answersSeen(std::uint32_t key) const;
    // Waits until more than `mark` answers of `key` came; false when the deadline passed.
    bool waitAnswer(std::uint32_t key, std::uint64_t mark, std::chrono::steady_clock::time_point deadline);
};

class TerminalRegistry {
public:
    explicit TerminalRegistry(EventHub &events);
    TerminalRegistry(const TerminalRegistry &) = delete;
    TerminalRegistry &operator=(const TerminalRegistry &) = delete;

    // The notification target to start the server with.
    KqHostTarget *target() { return &target_; }

    struct Listed {
        int number;  // in one snapshot of the library's numbers; 0 for one leaving just now
        std::shared_ptr<TerminalRecord> record;
    };
    // Every terminal, by id (the order they came in).
    std::vector<Listed> list() const;
    std::shared_ptr<TerminalRecord> find(std::int32_t id) const;
    // The terminal an id names, or a number names now (told apart by value: ids are
    // at least KQ_FIRST_TERMINAL_ID); null for none.
    std::shared_ptr<TerminalRecord> findByIdOrNumber(std::int64_t idOrNumber) const;
    std::size_t count() const;
    // One snapshot of the library's terminals: the number of each id.
    static std::map<std::int32_t, int> numbersNow();

    // Where the mirrors find fonts sent to terminals (a FONTS_DIR folder inside it).
    void setMirrorFontDirectory(std::filesystem::path directory) { mirrorFonts_ = std::move(directory); }

    // Tells the streams that the mirror of a terminal changed.
    void screenChanged(const TerminalRecord &record, std::uint64_t revision);

private:
    static void onPost(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    static void onSend(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam);
    void connected(std::int32_t id, std::uint32_t address, int number);
    void disconnected(std::int32_t id, std::uint32_t address);
    void data(std::int32_t id, std::uint32_t code, std::uint32_t extra);
    void answerEvent(EventTerminal terminal, const std::shared_ptr<TerminalRecord> &record, std::uint32_t code,
                     nlohmann::json value);
    // Takes this terminal's newest answer event (code, value) out of the library's stores.
    std::optional<std::pair<int, std::int32_t>> takeAnswer(std::int32_t id);

    EventHub &events_;
    KqHostTarget target_;
    std::filesystem::path mirrorFonts_;  // set before the server starts
    mutable std::mutex mutex_;
    std::map<std::int32_t, std::shared_ptr<TerminalRecord>> terminals_;  // by id

    // The library hands answer events out by the lowest-numbered terminal that
    // has one; those taken for another terminal wait here for its handler, by id.
    std::mutex answerMutex_;
    std::map<std::int32_t, std::deque<std::pair<int, std::int32_t>>> answersTaken_;
};

}  // namespace ks318::web
