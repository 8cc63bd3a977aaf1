// Where the fleet's MQTT broker is and how to log in to it: the broker's URL
// (mqtt://HOST[:PORT] or mqtts://HOST[:PORT]) and the credentials file (the
// user name on its first line, the password on its second).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace ks318::web {

struct BrokerAddress {
    std::string url;  // as given
    std::string host;
    int port = 1883;
    bool tls = false;
};

// Nothing, with `error` in words, for a URL of another form.
std::optional<BrokerAddress> parseBrokerUrl(const std::string &url, std::string &error);

struct BrokerCredentials {
    std::string user;
    std::string password;
};

// Nothing, with `error` in words, when the file cannot be read or names no user.
std::optional<BrokerCredentials> readBrokerCredentials(const std::filesystem::path &file, std::string &error);

}  // namespace ks318::web
