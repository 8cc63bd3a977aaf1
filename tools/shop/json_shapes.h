// The JSON this program answers with: terminals, device records, events,
// errors, and the texts terminals send made into valid UTF-8.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "ks318.h"
#include "tools/shop/event_hub.h"
#include "tools/shop/terminal_registry.h"

namespace ks318::web {

// A text field from a terminal (up to its first zero or `width` bytes): as it is
// when it is valid UTF-8, else read as Latin-1.
std::string terminalText(const char *field, std::size_t width);
// Bytes read as Latin-1, one character each.
std::string latin1Text(const unsigned char *bytes, std::size_t count);

// A terminal: its id, its number as the caller read it, and what it is.
nlohmann::json terminalJson(int number, const TerminalRecord &record);
// What a terminal is, into `out`: model, version, uid, text, address, connected_since
// (the fleet's terminal states share these with the dashboard's listing).
void addTerminalIdentity(nlohmann::json &out, const TerminalRecord &record);
nlohmann::json configJson(const KqConfigRecord &config);
nlohmann::json wifiJson(const KqWifiRecord &wifi);

// {"error": reason}
nlohmann::json errorJson(const std::string &reason);

// Serialised for the wire; a text that is not UTF-8 cannot get this far, but
// would be replaced rather than thrown on.
std::string dumpJson(const nlohmann::json &value);

// One event as a server-sent event: "event: kind\ndata: {...}\n\n".
std::string sseMessage(const Event &event);

}  // namespace ks318::web
