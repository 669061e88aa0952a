// brenvikd's HTTP transport: one thread waits on every connection at once,
// a request must arrive whole within one deadline, and only whole requests
// reach the handler threads. The routes see a small request and response
// whose accessors keep the names the handlers were written against.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace brenvikd {

struct HttpRequest {
    std::string method;  // "GET", "POST", "PUT", "OPTIONS", ...
    std::string path;    // percent-decoded, without the query
    std::string body;
    int version = 11;              // 10 or 11
    std::string remoteAddr;        // the client's address
    std::string localAddr;         // the address of ours the client reached
    std::smatch matches;           // the route's groups, over path
    std::multimap<std::string, std::string> headers;  // names in lower case
    std::multimap<std::string, std::string> params;   // the decoded query

    bool has_header(const std::string& name) const;
    std::string get_header_value(const std::string& name) const;  // "" when missing
    std::string get_param_value(const std::string& name) const;   // "" when missing
};

struct HttpResponse {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Set by a handler whose answer comes later (a printer's job), so that
    // no handler thread waits for a printer: once the handler has returned,
    // it is called with a function that sends the answer, once, from any
    // thread (also after the server is gone: then nothing is sent). This
    // response is not sent, but the headers already set on it go with the
    // answer later, unless the answer sets them itself.
    std::function<void(std::function<void(HttpResponse)> send)> later;

    void set_header(const std::string& name, const std::string& value);
    void set_content(const std::string& content, const std::string& type);
    bool has_header(const std::string& name) const;
    std::string get_header_value(const std::string& name) const;
};

// The address in its one canonical text ("127.0.0.1", "::1"); "" when the
// text is no IP address.
std::string CanonicalAddress(const std::string& text);
bool IsLoopbackAddress(const std::string& text);

class HttpServer {
public:
    struct Limits {
        size_t threads = 32;               // handler threads
        size_t bodyBytes = 64 * 1024;      // a request's body
        size_t headBytes = 16 * 1024;      // its request line and headers
        int requestMs = 10000;             // head and body whole, and an answer read, within this
        size_t perClient = 64;             // open connections of one client address
        size_t connections = 512;          // open connections in all
    };
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;
    // Runs before routing; true: the request is answered (refused) already.
    using Guard = std::function<bool(const HttpRequest&, HttpResponse&)>;
    using ExceptionHandler = std::function<void(const HttpRequest&, HttpResponse&, const std::exception&)>;

    explicit HttpServer(Limits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Routes are regular expressions over the whole path; set them before Bind.
    HttpServer& Get(const std::string& pattern, Handler handler);
    HttpServer& Post(const std::string& pattern, Handler handler);
    HttpServer& Put(const std::string& pattern, Handler handler);
    void SetGuard(Guard guard);
    // Fills an answer of 400 and above that has no body yet.
    void SetErrorHandler(Handler handler);
    void SetExceptionHandler(ExceptionHandler handler);
    // Called with one line per request answered, key=value pairs (method,
    // path, status, ms, client, and repeated=1 for an answer from the
    // ledger), for a log a machine can read.
    void SetRequestLog(std::function<void(const std::string&)> log);

    // Listens (port 0 picks one); false with *error, such as an address in
    // use: no two services share one address.
    bool Bind(const std::string& host, int port, std::string* error);
    int port() const;
    // Serves until Stop(), which any thread may call, before Run() too.
    void Run();
    void Stop();
    // Runs fn on the server's thread after ms, unless the function returned
    // is called first; either may be called from any thread, the returned
    // one also after the server is gone.
    std::function<void()> After(int ms, std::function<void()> fn);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brenvikd
