// Where the broker is and how the bridge signs in: the --broker URL, the site
// name every topic is under, and the credentials file. Each is checked before
// anything starts, and a bad one is refused with its reason in words.
#pragma once

#include <optional>
#include <string>

namespace ks318::bridge {

struct BrokerAddress {
    std::string host;  // without the brackets of an IPv6 address
    int port = 1883;
    bool tls = false;  // mqtts://
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883). Nothing, with `error`
// set, for anything else.
std::optional<BrokerAddress> parseBrokerUrl(const std::string &url, std::string &error);

// 1..64 characters of A-Z a-z 0-9 _ -: a name that is one topic level and
// never a wildcard.
bool validSiteName(const std::string &site);

struct Credentials {
    std::string user;
    std::string password;
};

// The user name on the first line, the password on the second (line ends of
// either kind taken away). Nothing, with `error` set, when the file cannot be
// read or has no user name.
std::optional<Credentials> readCredentials(const std::string &path, std::string &error);

}  // namespace ks318::bridge
