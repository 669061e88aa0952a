#include "service/web_policy.h"

#include <algorithm>

#include "service/http_server.h"

namespace brenvikd {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// "host", "host:port", "[v6]" or "[v6]:port"; *port is defaultPort when none
// is given. false for anything else (a bare IPv6 address included).
bool SplitAuthority(const std::string& text, int defaultPort, std::string* host, int* port) {
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        *host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        *host = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    *port = defaultPort;
    if (!rest.empty()) {
        std::string digits = rest.substr(1);
        if (rest[0] != ':' || digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
            return false;
        }
        *port = std::stoi(digits);
    }
    *host = Lower(*host);
    return !host->empty() && host->find_first_of("/@?# \t") == std::string::npos;
}

}  // namespace

bool NamesThisService(const std::string& authority, int defaultPort, const std::string& localAddr,
                      const WebPolicy& policy) {
    std::string host;
    int port = 0;
    if (!SplitAuthority(authority, defaultPort, &host, &port)) return false;
    for (const std::string& name : policy.hosts) {
        std::string allowedHost;
        int allowedPort = 0;
        if (SplitAuthority(name, -1, &allowedHost, &allowedPort) && allowedHost == host &&
            (allowedPort == -1 || allowedPort == port)) {
            return true;
        }
    }
    if (port != policy.port) return false;
    const bool viaLoopback = IsLoopbackAddress(localAddr);
    if (host == "localhost") return viaLoopback;
    const std::string literal = CanonicalAddress(host);
    if (literal.empty()) return false;
    if (literal == CanonicalAddress(localAddr)) return true;
    return viaLoopback && (literal == "127.0.0.1" || literal == "::1");
}

bool OriginAllowed(const std::string& origin, const std::string& localAddr, const WebPolicy& policy) {
    if (std::find(policy.origins.begin(), policy.origins.end(), origin) != policy.origins.end()) return true;
    size_t separator = origin.find("://");
    if (separator == std::string::npos) return false;  // "null" among them
    const std::string scheme = Lower(origin.substr(0, separator));
    const std::string authority = origin.substr(separator + 3);
    if (scheme != "http" && scheme != "https") return false;
    return NamesThisService(authority, scheme == "https" ? 443 : 80, localAddr, policy);
}

bool IsJsonContentType(const std::string& value) {
    std::string type = Lower(value.substr(0, value.find(';')));
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!type.empty() && blank(type.back())) type.pop_back();
    size_t start = 0;
    while (start < type.size() && blank(type[start])) ++start;
    return type.substr(start) == "application/json";
}

bool IsLoopbackHost(const std::string& host) { return Lower(host) == "localhost" || IsLoopbackAddress(host); }

}  // namespace brenvikd
