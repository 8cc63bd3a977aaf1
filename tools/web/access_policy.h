// Who may ask what: the Host a request names (a page of another name that
// resolves to this machine must not read it), and the access token, which every
// /api/ request carries as "Authorization: Bearer <token>".
#pragma once

#include <string>
#include <vector>

namespace ks318::web {

class AccessPolicy {
public:
    // `names`: the names the server may be called by besides its addresses
    // (the --http host when it is a name, and each --allow-host).
    AccessPolicy(std::string token, std::vector<std::string> names);

    // A Host header naming an IP address (v4, or v6 in brackets), localhost, or
    // one of the names, with or without a port. A name other than these may be one
    // that an attacker's DNS points at this machine.
    bool hostAllowed(const std::string &host) const;
    // The Authorization header's value carries the token.
    bool tokenMatches(const std::string &authorization) const;

private:
    std::string token_;
    std::vector<std::string> names_;  // lower case, no trailing dot
};

// A host name as compared: lower case, without a trailing dot.
std::string normalHostName(std::string name);

}  // namespace ks318::web
