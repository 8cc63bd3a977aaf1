// Where the fleet's MQTT broker is and how to sign in to it, as the bridge and
// the dashboard are both told: the broker's URL and the credentials file. Each
// is checked before anything starts, and a bad one is refused with its reason.
#pragma once

#include <optional>
#include <string>

namespace ks318::fleet {

struct BrokerAddress {
    std::string url;   // as given
    std::string host;  // without the brackets of an IPv6 address
    int port = 1883;
    bool tls = false;  // mqtts://
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883), a '/' at the end
// allowed. Nothing, with `error` set, for anything else.
std::optional<BrokerAddress> parseBrokerUrl(const std::string &url, std::string &error);

struct Credentials {
    std::string user;
    std::string password;
};

// The user name on the first line, the password on the second (line ends of
// either kind taken away). Nothing, with `error` set, when the file cannot be
// read, has no user name, or holds more than MQTT carries (65535 bytes each).
// `warning` (when given) says so when others than its owner may read the file.
std::optional<Credentials> readCredentials(const std::string &path, std::string &error,
                                           std::string *warning = nullptr);

}  // namespace ks318::fleet
