#include "tools/shop/terminal_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "tools/common/code_names.h"
#include "tools/shop/address_by_id.h"
#include "tools/shop/json_shapes.h"

namespace ks318::web {
namespace {

std::string dotted(std::uint32_t address) {
    char text[16];
    KQinet_ntoa(address, text);
    return text;
}

std::string hexBytes(const unsigned char *bytes, std::size_t count) {
    std::string out;
    char piece[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, "%s%02x", i ? " " : "", bytes[i]);
        out += piece;
    }
    return out;
}

}  // namespace

std::uint64_t TerminalRecord::answersSeen(std::uint32_t key) const {
    std::lock_guard lock(mutex);
    auto found = answers.find(key);
    return found == answers.end() ? 0 : found->second;
}

bool TerminalRecord::waitAnswer(std::uint32_t key, std::uint64_t mark, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex);
    return answered.wait_until(lock, deadline, [&] { return answers[key] > mark; });
}

TerminalRegistry::TerminalRegistry(EventHub &events)
    : events_(events), target_{this, &TerminalRegistry::onPost, &TerminalRegistry::onSend} {}

void TerminalRegistry::onPost(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    auto *self = static_cast<TerminalRegistry *>(context);
    const std::int32_t id = kq_notifiedterminal(message, wParam, lParam);
    if (id == 0) return;  // cannot happen on a connection thread; nothing to key it by
    if (KQ_LINK_IS_CONNECT(lParam)) self->connected(id, wParam, static_cast<int>(KQ_LINK_TERMINAL(lParam)));
    else self->disconnected(id, wParam);
}

void TerminalRegistry::onSend(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    const std::int32_t id = kq_notifiedterminal(message, wParam, lParam);
    if (id != 0) static_cast<TerminalRegistry *>(context)->data(id, wParam, KQ_DATA_EXTRA(lParam));
}

void TerminalRegistry::connected(std::int32_t id, std::uint32_t address, int number) {
    AddressById byId;
    const std::int32_t ident = kq_getident(id);
    auto record = std::make_shared<TerminalRecord>(id, static_cast<std::uint16_t>(KQ_IDENT_MODEL(ident)),
                                                   KQ_IDENT_VERSION(ident));
    if (!mirrorFonts_.empty()) record->mirror.setFontDirectory(mirrorFonts_);
    record->address = dotted(address);
    record->connectedSince = millisecondsSinceEpoch();
    record->lastHeard = record->connectedSince;
    {
        std::lock_guard lock(mutex_);
        terminals_[id] = record;
    }
    events_.publish("connect", {number, id},
                    {{"model", record->model}, {"version", record->version}, {"address", record->address}}, record);
}

void TerminalRegistry::disconnected(std::int32_t id, std::uint32_t address) {
    std::shared_ptr<TerminalRecord> record;
    {
        std::lock_guard lock(mutex_);
        auto found = terminals_.find(id);
        if (found == terminals_.end()) return;  // a connect this program never saw
        record = std::move(found->second);
        terminals_.erase(found);
    }
    {
        std::lock_guard lock(answerMutex_);
        answersTaken_.erase(id);
    }
    events_.publish("disconnect", {kq_terminalnumber(id), id}, {{"address", dotted(address)}}, record);
}

std::vector<TerminalRegistry::Listed> TerminalRegistry::list() const {
    std::vector<Listed> out;
    {
        std::lock_guard lock(mutex_);
        out.reserve(terminals_.size());
        for (const auto &[id, record] : terminals_) out.push_back({0, record});
    }
    // The numbers of one listing, so that no two terminals show the same one.
    const std::map<std::int32_t, int> numbers = numbersNow();
    for (Listed &entry : out)
        if (auto found = numbers.find(entry.record->id); found != numbers.end()) entry.number = found->second;
    return out;
}

std::map<std::int32_t, int> TerminalRegistry::numbersNow() {
    std::vector<KqTerminalInfo> listed(KQ_MAX_TERMINALS);
    const std::int32_t count = kq_listterminals(listed.data(), static_cast<std::int32_t>(listed.size()));
    listed.resize(static_cast<std::size_t>(std::clamp<std::int32_t>(count, 0, KQ_MAX_TERMINALS)));
    std::map<std::int32_t, int> numbers;
    for (const KqTerminalInfo &info : listed) numbers.emplace(info.id, info.number);
    return numbers;
}

std::shared_ptr<TerminalRecord> TerminalRegistry::find(std::int32_t id) const {
    std::lock_guard lock(mutex_);
    auto found = terminals_.find(id);
    return found == terminals_.end() ? nullptr : found->second;
}

std::shared_ptr<TerminalRecord> TerminalRegistry::findByIdOrNumber(std::int64_t idOrNumber) const {
    if (idOrNumber <= 0 || idOrNumber > INT32_MAX) return nullptr;
    const auto value = static_cast<std::int32_t>(idOrNumber);
    if (value >= KQ_FIRST_TERMINAL_ID) return find(value);
    const std::int32_t id = kq_terminalid(value);
    return id == 0 ? nullptr : find(id);
}

std::size_t TerminalRegistry::count() const {
    std::lock_guard lock(mutex_);
    return terminals_.size();
}

void TerminalRegistry::screenChanged(const TerminalRecord &record, std::uint64_t revision) {
    events_.publish("screen", {kq_terminalnumber(record.id), record.id}, {{"revision", revision}});
}

void TerminalRegistry::data(std::int32_t id, std::uint32_t code, std::uint32_t extra) {
    const std::shared_ptr<TerminalRecord> record = find(id);
    if (!record) return;
    AddressById byId;  // every read below takes the id
    const EventTerminal terminal{kq_terminalnumber(id), id};
    ++record->framesIn;
    record->lastHeard = millisecondsSinceEpoch();
    std::uint32_t answerKey = code;

    switch (code) {
    case KQ_NOTIFY_KEY: {
        // The key is the notification's extra value; the server-wide key store is left alone.
        const std::uint32_t key = extra & 0xFF;
        nlohmann::json character = nullptr;
        if (key >= 32 && key < 127) character = std::string(1, static_cast<char>(key));
        events_.publish("key", terminal, {{"key", key}, {"char", character}}, record);
        break;
    }
    case KQ_NOTIFY_CARD: {
        char first[KQ_CARD_TEXT_BYTES] = {}, second[KQ_CARD_TEXT_BYTES] = {};
        if (kq_getmag(id, first, second) == 1)
            events_.publish("card", terminal,
                            {{"first", terminalText(first, sizeof first)}, {"second", terminalText(second, sizeof second)}},
                            record);
        break;
    }
    case KQ_NOTIFY_SERIAL0: case KQ_NOTIFY_SERIAL1: {
        unsigned char bytes[KQ_SERIAL_DATA_BYTES] = {};
        std::int32_t source = 0;
        const std::int32_t length = kq_getserial(id, &source, bytes);
        const std::size_t count = static_cast<std::size_t>(std::clamp(length, 0, KQ_SERIAL_DATA_BYTES));
        events_.publish("serial", terminal,
                        {{"port", source}, {"text", latin1Text(bytes, count)}, {"hex", hexBytes(bytes, count)}}, record);
        break;
    }
    case KQ_NOTIFY_UID: {
        char text[64] = {};
        char uidText[KQ_UID_TEXT_BYTES] = {};
        if (kq_getuid(id, text, uidText) == 1) {
            const std::string uid = terminalText(text, sizeof text);
            const std::string said = terminalText(uidText, sizeof uidText);
            {
                std::lock_guard lock(record->mutex);
                record->uid = uid;
                record->uidText = said;
            }
            events_.publish("identified", terminal, {{"uid", uid}, {"text", said}}, record);
        }
        break;
    }
    case KQ_NOTIFY_CONFIG: {
        KqConfigRecord config{};
        if (kq_getconfig(id, &config) == 1) {
            std::lock_guard lock(record->mutex);
            record->config = config;
        }
        answerEvent(terminal, record, code, nullptr);
        break;
    }
    case KQ_NOTIFY_WIFI: {
        KqWifiRecord wifi{};
        if (kq_getconfigwifi(id, &wifi) == 1) {
            std::lock_guard lock(record->mutex);
            record->wifi = wifi;
        }
        answerEvent(terminal, record, code, nullptr);
        break;
    }
    case KQ_NOTIFY_SERIAL_STATUS: {
        const int port = extra == 0 ? 0 : 1;
        std::int16_t status = 0;
        if (kq_sergetstatus(id, port, &status) == 1) {
            std::lock_guard lock(record->mutex);
            record->serialStatus[static_cast<std::size_t>(port)] = status;
        }
        answerKey = port == 0 ? kAnswerSerialStatus0 : kAnswerSerialStatus1;
        events_.publish("answer", terminal, {{"code", code}, {"name", tools::notificationName(code)}, {"value", status},
                                           {"port", port}},
                        record);
        break;
    }
    case KQ_NOTIFY_FILE: {
        std::unique_ptr<char[]> room(new (std::nothrow) char[KQ_GETFILE_MAX_BYTES]);
        char name[KQ_FILE_NAME_BYTES] = {};
        std::int32_t size = 0;
        if (room && kq_getfile(id, name, &size, room.get()) == 1)
            events_.publish("file", terminal, {{"name", terminalText(name, sizeof name)}, {"size", size}}, record);
        break;
    }
    case KQ_NOTIFY_MEDIA_SHOWN: case KQ_NOTIFY_SENSOR_SET: case KQ_NOTIFY_SENSOR: case KQ_NOTIFY_AUDIO_SET:
    case KQ_NOTIFY_AUDIO: case KQ_NOTIFY_VOLUME_SET: case KQ_NOTIFY_VOLUME: case KQ_NOTIFY_BRIGHTNESS_SET:
    case KQ_NOTIFY_BRIGHTNESS: case KQ_NOTIFY_MEDIA_DELETED: case KQ_NOTIFY_INTERNAL_CLEANED:
    case KQ_NOTIFY_EXTERNAL_CLEANED: {
        auto answer = takeAnswer(id);
        const int answerCode = answer ? answer->first : static_cast<int>(code);
        std::int32_t value = answer ? answer->second : 0;
        // The status answers leave their value where the getters read it too.
        if (code == KQ_NOTIFY_VOLUME) value = kq_getvolume(id);
        else if (code == KQ_NOTIFY_BRIGHTNESS) value = kq_getbrightness(id);
        else if (code == KQ_NOTIFY_AUDIO) value = kq_getaudiostatus(id);
        else if (code == KQ_NOTIFY_SENSOR && answerCode != KQ_ANSWER_DISPLAY_TIME) value = kq_getsensorstatus(id);
        events_.publish("answer", terminal, {{"code", answerCode},
                                           {"name", tools::codeName(static_cast<std::uint16_t>(answerCode))},
                                           {"value", value}},
                        record);
        break;
    }
    default:
        // The flags (configuration set, advertising, restart, wifi set ...) and the other answers.
        answerEvent(terminal, record, code, extra);
        break;
    }

    {
        std::lock_guard lock(record->mutex);
        ++record->answers[answerKey];
    }
    record->answered.notify_all();
}

void TerminalRegistry::answerEvent(EventTerminal terminal, const std::shared_ptr<TerminalRecord> &record, std::uint32_t code,
                                   nlohmann::json value) {
    events_.publish("answer", terminal, {{"code", code}, {"name", tools::notificationName(code)}, {"value", std::move(value)}},
                    record);
}

std::optional<std::pair<int, std::int32_t>> TerminalRegistry::takeAnswer(std::int32_t id) {
    std::lock_guard lock(answerMutex_);
    auto &mine = answersTaken_[id];
    // In id mode (the handler's) kq_TemResposta names the answer's terminal by id.
    for (int guard = 0; mine.empty() && guard < 1024; ++guard) {
        std::int32_t owner = 0, value = 0, left = 0;
        unsigned char code = 0;
        if (!kq_TemResposta(&owner, &code, &value, &left)) break;
        if (owner != id && !find(owner)) continue;  // its terminal has left
        answersTaken_[owner].emplace_back(code, value);
    }
    if (mine.empty()) return std::nullopt;
    auto answer = mine.back();  // the newest, as the library hands them
    mine.pop_back();
    return answer;
}

}  // namespace ks318::web
