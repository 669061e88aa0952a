// Who may call brenvikd from a browser, and under which names. A page from
// another site can make the cashier's browser send requests to the loopback;
// these rules keep such requests from printing anything.
#pragma once

#include <string>
#include <vector>

namespace brenvikd {

struct WebPolicy {
    int port = 0;                      // the port the service listens on
    std::vector<std::string> hosts;    // extra names: "pos.example" (any port) or "pos.example:8443"
    std::vector<std::string> origins;  // origins allowed across sites (CORS), compared exactly
};

// host[:port], as in a Host header or an origin: whether it names this
// service as reached at localAddr (the connection's own address). The
// loopback names (localhost, 127.0.0.1, [::1]) count on a loopback connection,
// an address literal when it is the one reached, and any configured name;
// each with the listening port. A name that only resolves here, as a
// rebinding attack's does, never counts.
bool NamesThisService(const std::string& authority, int defaultPort, const std::string& localAddr,
                      const WebPolicy& policy);

// An Origin header's value: a configured origin, or one naming this service.
bool OriginAllowed(const std::string& origin, const std::string& localAddr, const WebPolicy& policy);

// "application/json" in any case, parameters such as "; charset=utf-8" allowed.
bool IsJsonContentType(const std::string& value);

// 127.0.0.0/8, ::1 and "localhost": where no token is needed.
bool IsLoopbackHost(const std::string& host);

}  // namespace brenvikd
