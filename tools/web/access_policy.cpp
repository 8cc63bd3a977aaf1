#include "tools/web/access_policy.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace ks318::web {
namespace {

// Compares without stopping at the first difference.
bool sameText(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool isPort(const std::string &text) {
    return !text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isdigit(c);
    });
}

}  // namespace

std::string normalHostName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!name.empty() && name.back() == '.') name.pop_back();
    return name;
}

AccessPolicy::AccessPolicy(std::string token, std::vector<std::string> names) : token_(std::move(token)) {
    for (std::string &name : names) names_.push_back(normalHostName(std::move(name)));
}

bool AccessPolicy::hostAllowed(const std::string &host) const {
    std::string name = host;
    if (!name.empty() && name.front() == '[') {
        // [v6] or [v6]:port
        const auto close = name.find(']');
        if (close == std::string::npos) return false;
        const std::string rest = name.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !isPort(rest.substr(1)))) return false;
        in6_addr address{};
        return inet_pton(AF_INET6, name.substr(1, close - 1).c_str(), &address) == 1;
    }
    const auto colon = name.find(':');
    if (colon != std::string::npos) {
        if (!isPort(name.substr(colon + 1))) return false;
        name.resize(colon);
    }
    if (name.empty()) return false;
    in_addr address{};
    if (inet_pton(AF_INET, name.c_str(), &address) == 1) return true;
    name = normalHostName(std::move(name));
    return name == "localhost" || std::find(names_.begin(), names_.end(), name) != names_.end();
}

bool AccessPolicy::tokenMatches(const std::string &authorization) const {
    return sameText(authorization, "Bearer " + token_);
}

}  // namespace ks318::web
