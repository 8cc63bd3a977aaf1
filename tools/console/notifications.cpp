// The console as the server's notification target: one line for every
// notification, with the terminal's id and what the read exports give for it.
// Reading drains the store the notification names, so what a terminal sent is
// shown once.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "tools/common/code_names.h"
#include "tools/common/words.h"
#include "tools/console/console.h"

namespace ks318::tools {
namespace {

// The largest file answer the library keeps: the host cannot learn a file's
// size before collecting it, so room for that much is reserved.
constexpr std::size_t kLargestFileAnswer = KQ_GETFILE_MAX_BYTES;

std::string text(const char *field, std::size_t width) { return quoteText(std::string(field, strnlen(field, width))); }

}  // namespace

void Console::onPost(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    static_cast<Console *>(context)->posted(message, wParam, lParam);
}

void Console::onSend(void *context, std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    static_cast<Console *>(context)->sent(message, wParam, lParam);
}

void Console::posted(std::uint32_t message, std::uint32_t wParam, std::uint32_t lParam) {
    // Asked on the terminal's own connection thread: exact, whoever else comes or goes.
    const std::int32_t id = kq_notifiedterminal(message, wParam, lParam);
    char address[16];
    KQinet_ntoa(wParam, address);
    const bool connect = (lParam & 0xFFFF) == 1;
    char line[128];
    std::snprintf(line, sizeof line, "%9.3f  %-10s  %s %-5u id %-5d  %s", secondsSinceStart(),
                  connect ? "connect" : "disconnect", connect ? "terminal" : "handle  ", lParam >> 16, id, address);
    print(line);
    {
        std::lock_guard lock(mutex_);
        (connect ? counts_.connects : counts_.disconnects)++;
    }
    changed_.notify_all();
}

void Console::sent(std::uint32_t message, std::uint32_t code, std::uint32_t lParam) {
    const std::uint32_t handle = lParam & 0xFFFF, extra = lParam >> 16;
    const std::int32_t id = kq_notifiedterminal(message, code, lParam);
    {
        // The reads name terminals by id: the notified one's stores are read
        // by its id, and what reports a terminal reports its id.
        const ThreadAddressing byId(KQ_ADDRESS_BY_ID);
        std::lock_guard reading(readMutex_);
        const std::string detail = readFor(code, id, extra);
        char line[160];
        std::snprintf(line, sizeof line, "%9.3f  data %3u %-19s handle %-5u id %-5d  extra %-5u", secondsSinceStart(),
                      code, notificationName(code).c_str(), handle, id, extra);
        std::string said = std::string(line) + "  " + detail;
        said.erase(said.find_last_not_of(' ') + 1);
        print(said);
    }
    {
        std::lock_guard lock(mutex_);
        counts_.data[code]++;
    }
    changed_.notify_all();
}

std::string Console::readFor(std::uint32_t code, std::int32_t id, std::uint32_t extra) {
    std::int32_t terminal = 0;
    switch (code) {
    case KQ_NOTIFY_KEY: {
        // One store for every terminal's keys: the key read reports whose it is.
        unsigned char key = 0;
        if (!Get_KBD_char(&terminal, &key)) return "no key stored";
        return "key " + std::to_string(key) + " " + quoteBytes(&key, 1) + " from terminal " + std::to_string(terminal);
    }
    case KQ_NOTIFY_SERIAL0: case KQ_NOTIFY_SERIAL1: {
        std::int32_t source = 0;
        unsigned char data[256];
        const std::int32_t length = kq_getserial(id, &source, data);
        if (length <= 0) return "no serial data stored";
        return "terminal " + std::to_string(id) + " port " + std::to_string(source) + ", " + std::to_string(length) +
               " bytes " + quoteBytes(data, static_cast<std::size_t>(std::min(length, 256)), 256);
    }
    case KQ_NOTIFY_CARD: {
        char first[128], second[128];
        if (kq_getmag(id, first, second) != 1) return "no card read stored";
        return "terminal " + std::to_string(id) + " first " + text(first, 128) + " second " + text(second, 128);
    }
    case KQ_NOTIFY_CONFIG: {
        char address[5][16], first[32], second[100], third[30], fourth[30];
        std::int16_t number1 = 0;
        unsigned char number2 = 0, number3 = 0;
        if (!GetConfig(&terminal, address[0], address[1], address[2], address[3], address[4], first, &number1, second,
                       third, fourth, &number2, &number3))
            return "no configuration stored";
        return "terminal " + std::to_string(terminal) + " addresses " + address[0] + " " + address[1] + " " + address[2] +
               " " + address[3] + " " + address[4] + ", texts " + text(first, 32) + " " + text(second, 100) + " " +
               text(third, 30) + " " + text(fourth, 30) + ", numbers " + std::to_string(number1) + " " +
               std::to_string(number2) + " " + std::to_string(number3);
    }
    case KQ_NOTIFY_WIFI: {
        unsigned char wifi[100];
        if (kq_getconfigwifi(id, wifi) != 1) return "no wifi record stored";
        std::int32_t numbers[4];
        std::memcpy(&numbers[0], wifi, 4);
        std::memcpy(&numbers[1], wifi + 4, 4);
        std::memcpy(&numbers[2], wifi + 28, 4);
        std::memcpy(&numbers[3], wifi + 32, 4);
        return "terminal " + std::to_string(id) + " numbers " + std::to_string(numbers[0]) + " " +
               std::to_string(numbers[1]) + " " + std::to_string(numbers[2]) + " " + std::to_string(numbers[3]) +
               ", texts " + text(reinterpret_cast<char *>(wifi + 8), 20) + " " +
               text(reinterpret_cast<char *>(wifi + 36), 64);
    }
    case KQ_NOTIFY_FILE:
        return collectFile(id, extra);
    case KQ_NOTIFY_CONFIG_SET: case KQ_NOTIFY_ADV_STOPPED: case KQ_NOTIFY_SOFTWARE_UPDATE: case KQ_NOTIFY_ADV_RELOADED: case KQ_NOTIFY_RESTART: case KQ_NOTIFY_WIFI_SET:
        return extra == 1 ? "done" : "not done";
    case KQ_NOTIFY_SERIAL_STATUS:
        return "port " + std::to_string(extra);
    case KQ_NOTIFY_SENSOR: case KQ_NOTIFY_MEDIA_SHOWN: case KQ_NOTIFY_SENSOR_SET: case KQ_NOTIFY_AUDIO_SET: case KQ_NOTIFY_AUDIO: case KQ_NOTIFY_VOLUME_SET: case KQ_NOTIFY_VOLUME: case KQ_NOTIFY_BRIGHTNESS_SET: case KQ_NOTIFY_BRIGHTNESS: case KQ_NOTIFY_MEDIA_DELETED: case KQ_NOTIFY_INTERNAL_CLEANED:
    case KQ_NOTIFY_EXTERNAL_CLEANED: {
        unsigned char event = 0;
        std::int32_t value = 0, left = 0;
        if (!kq_TemResposta(&terminal, &event, &value, &left)) return "no answer stored";
        std::string said = "terminal " + std::to_string(terminal) + " answer " + std::to_string(event) + " " +
                           codeName(event) + " value " + std::to_string(value);
        switch (event) {
        case KQ_NOTIFY_SENSOR: said += ", kq_getsensorstatus = " + std::to_string(kq_getsensorstatus(terminal)); break;
        case KQ_NOTIFY_AUDIO: said += ", kq_getaudiostatus = " + std::to_string(kq_getaudiostatus(terminal)); break;
        case KQ_NOTIFY_VOLUME: said += ", kq_getvolume = " + std::to_string(kq_getvolume(terminal)); break;
        case KQ_NOTIFY_BRIGHTNESS: said += ", kq_getbrightness = " + std::to_string(kq_getbrightness(terminal)); break;
        default: break;
        }
        return said;
    }
    default:
        return {};
    }
}

std::string Console::collectFile(std::int32_t id, std::uint32_t extra) {
    std::unique_ptr<char[]> room(new (std::nothrow) char[kLargestFileAnswer]);
    if (!room) return "no memory to collect the file";
    // A terminal that never had a file answers with an empty name: there is
    // nothing to keep.
    char name[128];
    std::int32_t size = 0;
    if (kq_getfile(id, name, &size, room.get()) != 1 || name[0] == '\0') return "no file pending";
    ReceivedFile file{id, std::string(name, strnlen(name, sizeof name)), size, extra == 1, {}};
    if (file.name == "CONF_DIR/all_medias.conf") {
        // The media list went to the profile file, not to the host; take the
        // answer event its reception pushed.
        std::int32_t terminal = 0, value = 0, left = 0;
        unsigned char event = 0;
        if (extra == 1) kq_TemResposta(&terminal, &event, &value, &left);
    } else if (file.whole) {
        file.bytes.assign(room.get(), room.get() + size);
    }
    const std::string said = "terminal " + std::to_string(id) + " file " + quoteText(file.name) +
                             (file.whole ? ", " + std::to_string(size) + " bytes" : ", none came whole");
    std::lock_guard lock(mutex_);
    files_.push_back(std::move(file));
    return said;
}

}  // namespace ks318::tools
