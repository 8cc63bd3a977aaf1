#include "tools/shop/json_shapes.h"

#include <cstring>

namespace ks318::web {
namespace {

bool validUtf8(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t more = 0;
        std::uint32_t point = 0;
        if (byte < 0x80) { ++i; continue; }
        if (byte >= 0xC2 && byte <= 0xDF) { more = 1; point = byte & 0x1F; }
        else if (byte >= 0xE0 && byte <= 0xEF) { more = 2; point = byte & 0x0F; }
        else if (byte >= 0xF0 && byte <= 0xF4) { more = 3; point = byte & 0x07; }
        else return false;
        if (i + more >= text.size()) return false;  // cut short
        for (std::size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
        if ((more == 2 && point < 0x800) || (more == 3 && (point < 0x10000 || point > 0x10FFFF)) ||
            (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

std::string latin1Text(const unsigned char *bytes, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string terminalText(const char *field, std::size_t width) {
    std::string text(field, strnlen(field, width));
    if (validUtf8(text)) return text;
    return latin1Text(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

void addTerminalIdentity(nlohmann::json &out, const TerminalRecord &record) {
    out["model"] = record.model;
    out["version"] = record.version;
    {
        std::lock_guard lock(record.mutex);
        out["uid"] = record.uid;
        out["text"] = record.uidText;
    }
    out["address"] = record.address;
    out["connected_since"] = record.connectedSince;
}

nlohmann::json terminalJson(int number, const TerminalRecord &record) {
    nlohmann::json out;
    out["id"] = record.id;
    out["number"] = number;
    addTerminalIdentity(out, record);
    out["last_heard"] = record.lastHeard.load();
    out["frames_in"] = record.framesIn.load();
    out["frames_out"] = record.framesOut.load();
    out["screen"] = {{"width", record.mirror.width()},
                     {"height", record.mirror.height()},
                     {"revision", record.mirror.revision()}};
    return out;
}

nlohmann::json configJson(const KqConfigRecord &config) {
    nlohmann::json addresses = nlohmann::json::array();
    for (std::uint32_t address : config.address) {
        char text[16];
        addresses.push_back(KQinet_ntoa(address, text));
    }
    return {{"addresses", addresses},
            {"text1", terminalText(config.text1, sizeof config.text1)},
            {"number1", config.number1},
            {"text2", terminalText(config.text2, sizeof config.text2)},
            {"text3", terminalText(config.text3, sizeof config.text3)},
            {"text4", terminalText(config.text4, sizeof config.text4)},
            {"number2", config.number2},
            {"number3", config.number3}};
}

nlohmann::json wifiJson(const KqWifiRecord &wifi) {
    return {{"number1", wifi.number1},
            {"number2", wifi.number2},
            {"text1", terminalText(wifi.text1, sizeof wifi.text1)},
            {"number3", wifi.number3},
            {"number4", wifi.number4},
            {"text2", terminalText(wifi.text2, sizeof wifi.text2)}};
}

nlohmann::json errorJson(const std::string &reason) { return {{"error", reason}}; }

std::string dumpJson(const nlohmann::json &value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string sseMessage(const Event &event) {
    return "event: " + event.kind + "\ndata: " + dumpJson(event.body) + "\n\n";
}

}  // namespace ks318::web
