#include "tools/fleet/broker_address.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <cstdio>

#include <sys/stat.h>

namespace ks318::fleet {
namespace {

constexpr std::size_t kMaxCredentialBytes = 65535;  // an MQTT string's limit

bool parsePort(const std::string &text, int &port) {
    if (text.empty() || text.size() > 5) return false;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), port);
    return problem == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

void dropLineEnd(std::string &line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
}

}  // namespace

std::optional<BrokerAddress> parseBrokerUrl(const std::string &url, std::string &error) {
    BrokerAddress address;
    address.url = url;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address.tls = true;
        address.port = 8883;
    } else {
        error = "the broker must be given as mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + url + "'";
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string portText;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            error = "the broker's IPv6 address lacks its closing ']': '" + url + "'";
            return std::nullopt;
        }
        address.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                error = "unexpected text after the broker's address: '" + url + "'";
                return std::nullopt;
            }
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        const auto colon = rest.find(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = rest.substr(colon + 1);
        }
    }
    const bool oddHost = std::any_of(address.host.begin(), address.host.end(), [](unsigned char c) {
        return c <= ' ' || c == '/' || c == '@' || c == '?' || c == '#' || c >= 0x7F;
    });
    if (address.host.empty() || oddHost) {
        error = "no usable broker host in '" + url + "'";
        return std::nullopt;
    }
    if (hasPort && !parsePort(portText, address.port)) {
        error = "the broker's port must be a number from 1 to 65535 in '" + url + "'";
        return std::nullopt;
    }
    return address;
}

std::optional<Credentials> readCredentials(const std::string &path, std::string &error, std::string *warning) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the credentials file " + path;
        return std::nullopt;
    }
    struct stat about {};
    if (warning && ::stat(path.c_str(), &about) == 0 && (about.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(about.st_mode & 07777));
        *warning = "the credentials file " + path + " may be read by others (mode " + mode + "); chmod 600 " + path;
    }
    Credentials credentials;
    std::getline(in, credentials.user);
    std::getline(in, credentials.password);
    dropLineEnd(credentials.user);
    dropLineEnd(credentials.password);
    if (credentials.user.empty()) {
        error = "no user name on the first line of " + path;
        return std::nullopt;
    }
    if (credentials.user.size() > kMaxCredentialBytes || credentials.password.size() > kMaxCredentialBytes) {
        error = "the user name or password in " + path + " is longer than 65535 bytes";
        return std::nullopt;
    }
    return credentials;
}

}  // namespace ks318::fleet
