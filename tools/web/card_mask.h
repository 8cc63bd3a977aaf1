// Card numbers stay on the card reader's side: a card event's texts are shown
// by their last four characters, the others as '*', unless the program was
// started to show them whole.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace ks318::web {

// The text with every character (UTF-8) but the last four replaced by '*'.
std::string maskCardText(const std::string &text);

// An event's body as shown: a "card" event, or a site's card event inside a
// "fleet" event, with its texts masked.
nlohmann::json maskedEvent(const nlohmann::json &body);

}  // namespace ks318::web
