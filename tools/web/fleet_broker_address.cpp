#include "tools/web/fleet_broker_address.h"

#include <charconv>
#include <fstream>

namespace ks318::web {
namespace {

constexpr std::size_t kMaxCredentialBytes = 65535;  // MQTT's own bound on both fields

std::string withoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return line;
}

}  // namespace

std::optional<BrokerAddress> parseBrokerUrl(const std::string &url, std::string &error) {
    BrokerAddress address;
    address.url = url;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        address.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address.port = 8883;
        address.tls = true;
    } else {
        error = "the broker's URL must start with mqtt:// or mqtts://";
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        // An IPv6 address: [::1] or [::1]:1883.
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            error = "the broker's URL has an unclosed '[' in its host";
            return std::nullopt;
        }
        address.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                error = "the broker's URL has something after its host that is no port";
                return std::nullopt;
            }
            portText = after.substr(1);
            if (portText.empty()) {
                error = "the broker's URL has an empty port";
                return std::nullopt;
            }
        }
    } else {
        const auto colon = rest.find(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                error = "the broker's URL has an empty port";
                return std::nullopt;
            }
        }
    }
    if (address.host.empty() || address.host.find_first_of("/@?# ") != std::string::npos) {
        error = "the broker's URL needs a host name or address (mqtt://HOST[:PORT])";
        return std::nullopt;
    }
    if (!portText.empty()) {
        int port = 0;
        auto [end, failed] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (failed != std::errc() || end != portText.data() + portText.size() || port < 1 || port > 65535) {
            error = "the broker's port must be a number from 1 to 65535";
            return std::nullopt;
        }
        address.port = port;
    }
    return address;
}

std::optional<BrokerCredentials> readBrokerCredentials(const std::filesystem::path &file, std::string &error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read the credentials file " + file.string();
        return std::nullopt;
    }
    BrokerCredentials credentials;
    std::string line;
    if (std::getline(in, line)) credentials.user = withoutLineEnd(line);
    if (std::getline(in, line)) credentials.password = withoutLineEnd(line);
    if (credentials.user.empty()) {
        error = "the credentials file " + file.string() + " has no user name on its first line";
        return std::nullopt;
    }
    if (credentials.user.size() > kMaxCredentialBytes || credentials.password.size() > kMaxCredentialBytes) {
        error = "the credentials in " + file.string() + " are longer than MQTT allows";
        return std::nullopt;
    }
    return credentials;
}

}  // namespace ks318::web
