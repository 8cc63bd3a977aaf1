#include "tools/web/card_mask.h"

#include <vector>

namespace ks318::web {
namespace {

constexpr std::size_t kShown = 4;

void maskCardFields(nlohmann::json &event) {
    for (const char *field : {"first", "second"}) {
        auto it = event.find(field);
        if (it != event.end() && it->is_string()) *it = maskCardText(it->get<std::string>());
    }
}

bool isCard(const nlohmann::json &event) {
    return event.is_object() && event.value("kind", std::string()) == "card";
}

}  // namespace

std::string maskCardText(const std::string &text) {
    // Where each character starts: a byte that is no UTF-8 continuation byte.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    if (starts.size() <= kShown) return text;
    const std::size_t hidden = starts.size() - kShown;
    return std::string(hidden, '*') + text.substr(starts[hidden]);
}

nlohmann::json maskedEvent(const nlohmann::json &body) {
    nlohmann::json shown = body;
    if (isCard(shown)) maskCardFields(shown);
    if (shown.is_object() && shown.value("kind", std::string()) == "fleet") {
        auto inner = shown.find("event");
        if (inner != shown.end() && isCard(*inner)) maskCardFields(*inner);
    }
    return shown;
}

}  // namespace ks318::web
