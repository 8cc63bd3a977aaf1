#include "tools/common/code_names.h"

#include <array>
#include <string_view>

#include "tools/common/words.h"

namespace ks318::tools {
namespace {

struct Named {
    std::uint16_t code;
    std::string_view name;
};

// Host → terminal commands are named for what they ask; the terminal's answers
// (command + 1) for what they carry or "-done" when they only confirm.
constexpr std::array kNames{
    Named{17, "live"},              Named{19, "identify"},          Named{20, "identification"},
    Named{21, "identified"},        Named{23, "config-set"},        Named{24, "config-set-done"},
    Named{25, "config-request"},    Named{26, "config"},            Named{27, "uid-request"},
    Named{28, "uid"},               Named{29, "always-live"},       Named{33, "fill"},
    Named{35, "text"},              Named{36, "text-done"},         Named{37, "image"},
    Named{39, "display-time-set"},  Named{41, "display-time-request"}, Named{42, "display-time"},
    Named{43, "adv-go"},            Named{45, "adv-stop"},          Named{46, "adv-stop-done"},
    Named{49, "keyboard-enable"},   Named{53, "key"},               Named{65, "card-reader-enable"},
    Named{69, "card"},              Named{81, "serial-config-0"},   Named{83, "serial-0"},
    Named{85, "serial-write-0"},    Named{87, "serial-config-1"},   Named{89, "serial-1"},
    Named{91, "serial-write-1"},    Named{97, "file-request"},      Named{98, "file-answer"},
    Named{99, "file"},              Named{101, "adv-delete"},       Named{103, "preimage-delete"},
    Named{113, "software-update"},  Named{114, "software-update-done"}, Named{117, "adv-reload"},
    Named{118, "adv-reload-done"},  Named{119, "preimage-reload"},  Named{121, "restart"},
    Named{122, "restart-done"},     Named{123, "sc-request"},       Named{124, "sc"},
    Named{129, "image-load"},       Named{131, "image-block"},      Named{133, "palette"},
    Named{145, "image-update-set"}, Named{147, "image-update-request"}, Named{148, "image-update"},
    Named{149, "images-update"},    Named{150, "images-update-done"}, Named{151, "wifi-set"},
    Named{152, "wifi-set-done"},    Named{153, "wifi-request"},     Named{154, "wifi"},
    Named{161, "serial-status-request"}, Named{162, "serial-status"}, Named{163, "serial-status-set"},
    Named{166, "media-show"},       Named{167, "media-show-done"},  Named{168, "sensor-set"},
    Named{169, "sensor-set-done"},  Named{170, "sensor-request"},   Named{171, "sensor"},
    Named{172, "audio-set"},        Named{173, "audio-set-done"},   Named{174, "audio-request"},
    Named{175, "audio"},            Named{176, "volume-set"},       Named{177, "volume-set-done"},
    Named{178, "volume-request"},   Named{179, "volume"},           Named{180, "brightness-set"},
    Named{181, "brightness-set-done"}, Named{182, "brightness-request"}, Named{183, "brightness"},
    Named{184, "media-delete"},     Named{185, "media-delete-done"}, Named{186, "internal-clean"},
    Named{187, "internal-clean-done"}, Named{188, "external-clean"}, Named{189, "external-clean-done"},
};

struct Notified {
    std::uint32_t code;
    std::string_view name;
};

// Where a notification is named otherwise than the frame of the same code.
constexpr std::array kNotified{
    Notified{45, "adv-stop-done"},
    Notified{161, "serial-status"},
    Notified{171, "sensor/display-time"},
};

}  // namespace

std::string codeName(std::uint16_t code) {
    for (const Named &named : kNames)
        if (named.code == code) return std::string(named.name);
    return "code-" + std::to_string(code);
}

bool isProtocolCode(std::uint16_t code) {
    for (const Named &named : kNames)
        if (named.code == code) return true;
    return false;
}

std::string notificationName(std::uint32_t code) {
    for (const Notified &notified : kNotified)
        if (notified.code == code) return std::string(notified.name);
    return code <= 0xFFFF ? codeName(static_cast<std::uint16_t>(code)) : "code-" + std::to_string(code);
}

bool codeFromName(const std::string &name, std::uint16_t &code) {
    if (auto number = parseNumber(name, 0, 0xFFFF)) {
        code = static_cast<std::uint16_t>(*number);
        return true;
    }
    for (const Named &named : kNames) {
        if (named.name == name) {
            code = named.code;
            return true;
        }
    }
    for (const Notified &notified : kNotified) {
        if (notified.name == name) {
            code = static_cast<std::uint16_t>(notified.code);
            return true;
        }
    }
    return false;
}

}  // namespace ks318::tools
