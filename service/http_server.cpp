// Boost.Beast rather than cpp-httplib (0.11.4): httplib gives every
// connection a pool thread for as long as it lives, and its read time-out
// restarts with every byte, so a few dozen clients trickling a byte now and
// then hold every thread; it has no deadline for a whole request, no view of
// a connection before a thread takes it (so no per-client limit), and it
// sets SO_REUSEPORT, so a second service shares the port. Beast's streams
// carry one deadline over any number of reads, and asio lets one thread
// wait on every socket; the handlers, which may wait for the printer, run
// on their own threads and see only whole requests.
#include "service/http_server.h"
#include "service/log_line.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <tuple>

#include "service/listener.h"

namespace brenvikd {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes (and '+' in a query) to bytes; a broken escape stays as it is.
std::string Decode(const std::string& text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

std::string AddressText(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

struct Route {
    std::string method;
    std::regex pattern;
    HttpServer::Handler handler;
};

class Session;

// Where a deferred answer or a cancelled timer goes: the io_context while
// the server lives, nothing after. What a printer's job holds on to holds
// only this, never the server itself.
struct Outbox {
    std::mutex mutex;
    asio::io_context* io = nullptr;

    template <typename F>
    void Post(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        if (io) asio::post(*io, std::move(f));
    }
};

}  // namespace

struct HttpServer::Impl {
    explicit Impl(Limits l) : limits(l) {}

    // Answers req and hands the answer to send, now or (deferred) later.
    void Dispatch(HttpRequest& req, std::function<void(HttpResponse)> send) const;
    HttpResponse Answer(HttpRequest& req) const;
    std::function<void(const std::string&)> requestLog;
    void Accept();
    void Admit(tcp::socket socket);
    bool Evict(const std::string* client);
    void Forget(uint64_t id, const std::string& client);

    Limits limits;
    std::vector<Route> routes;
    Guard guard;
    Handler errorHandler;
    ExceptionHandler exceptionHandler;
    int port = 0;

    // Declared first, destroyed last: every socket belongs to it.
    asio::io_context io{1};
    std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>();
    tcp::acceptor acceptor{io};
    asio::steady_timer retry{io};
    // Touched on the io thread only.
    std::map<uint64_t, std::shared_ptr<Session>> sessions;
    std::map<std::string, size_t> perClient;
    uint64_t nextId = 0;
    // Destroyed first: its threads finish their requests before anything
    // they touch goes away.
    std::unique_ptr<asio::thread_pool> pool;
};

namespace {

// One connection. Every member function runs on the io thread.
class Session : public std::enable_shared_from_this<Session> {
public:
    enum class Phase { Reading, Handling, Writing, Lingering };

    Session(HttpServer::Impl& server, tcp::socket socket, uint64_t id, std::string client, std::string local)
        : server_(server), stream_(std::move(socket)), id_(id), client_(std::move(client)), local_(std::move(local)) {}

    void Read() {
        phase_ = Phase::Reading;
        since_ = Clock::now();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.limits.headBytes));
        parser_->body_limit(server_.limits.bodyBytes);
        // One deadline for the whole request, however its bytes trickle in;
        // on a kept-alive connection the wait for the next request counts too.
        stream_.expires_after(std::chrono::milliseconds(server_.limits.requestMs));
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHead(ec); });
    }

    void Close() {
        if (closed_) return;
        closed_ = true;
        auto keep = shared_from_this();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        server_.Forget(id_, client_);
    }

    // A connection waiting for (the rest of) a request may be dropped to let
    // another client in; one whose request is being answered may not.
    bool Evictable() const { return !closed_ && (phase_ == Phase::Reading || phase_ == Phase::Lingering); }
    // Lower goes first: lingering ones, then those that never completed a
    // request, then the longest waiting.
    std::tuple<int, int, Clock::time_point> EvictionRank() const {
        return {phase_ == Phase::Lingering ? 0 : 1, served_ ? 1 : 0, since_};
    }
    const std::string& client() const { return client_; }

private:
    void OnHead(beast::error_code ec) {
        if (closed_) return;
        if (ec) return Failed(ec);
        const auto& head = parser_->get();
        auto expect = head.find(http::field::expect);
        if (expect != head.end() && Lower(std::string(expect->value())) == "100-continue" && !parser_->is_done()) {
            // curl waits a second for this before it sends a larger body.
            auto proceed = std::make_shared<http::response<http::empty_body>>(http::status::continue_, head.version());
            http::async_write(stream_, *proceed, [self = shared_from_this(), proceed](beast::error_code e, size_t) {
                if (self->closed_) return;
                if (e) return self->Close();
                self->ReadBody();
            });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (self->closed_) return;
            if (ec) return self->Failed(ec);
            self->Handle();
        });
    }

    void Failed(beast::error_code ec) {
        // Timed out, closed by the client or by us: nothing to answer.
        if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == asio::error::operation_aborted ||
            ec == asio::error::eof || ec == asio::error::connection_reset || ec == http::error::partial_message) {
            return Close();
        }
        int status = ec == http::error::body_limit ? 413 : ec == http::error::header_limit ? 431 : 400;
        HttpRequest unread;
        HttpResponse res;
        res.status = status;
        if (server_.errorHandler) server_.errorHandler(unread, res);
        Write(std::move(res), 11, false, false);
    }

    void Handle() {
        auto& message = parser_->get();
        auto req = std::make_shared<HttpRequest>();
        req->method = std::string(message.method_string());
        std::string target(message.target());
        size_t question = target.find('?');
        req->path = Decode(target.substr(0, question), false);
        if (question != std::string::npos) {
            std::string query = target.substr(question + 1);
            size_t start = 0;
            while (start <= query.size()) {
                size_t end = std::min(query.find('&', start), query.size());
                std::string pair = query.substr(start, end - start);
                if (!pair.empty()) {
                    size_t equals = pair.find('=');
                    req->params.emplace(Decode(pair.substr(0, equals), true),
                                        equals == std::string::npos ? "" : Decode(pair.substr(equals + 1), true));
                }
                start = end + 1;
            }
        }
        for (const auto& field : message) {
            req->headers.emplace(Lower(std::string(field.name_string())), std::string(field.value()));
        }
        req->body = std::move(message.body());
        req->version = static_cast<int>(message.version());
        req->remoteAddr = client_;
        req->localAddr = local_;
        const bool keepAlive = message.keep_alive();
        const bool head = message.method() == http::verb::head;
        phase_ = Phase::Handling;
        stream_.expires_never();
        asio::post(*server_.pool, [self = shared_from_this(), req, keepAlive, head] {
            // A deferred answer may come after the connection, or the
            // server, is gone: it holds neither.
            std::weak_ptr<Session> session = self;
            std::shared_ptr<Outbox> outbox = self->server_.outbox;
            self->server_.Dispatch(*req, [session, outbox, version = req->version, keepAlive, head](HttpResponse r) {
                auto res = std::make_shared<HttpResponse>(std::move(r));
                outbox->Post([session, res, version, keepAlive, head] {
                    auto live = session.lock();
                    if (live && !live->closed_) live->Write(std::move(*res), version, keepAlive, head);
                });
            });
        });
    }

    void Write(HttpResponse res, int version, bool keepAlive, bool head) {
        phase_ = Phase::Writing;
        answer_ = {};
        answer_.version(static_cast<unsigned>(version));
        answer_.result(static_cast<unsigned>(res.status));
        for (const auto& [name, value] : res.headers) answer_.insert(name, value);
        answer_.keep_alive(keepAlive);
        answer_.body() = std::move(res.body);
        answer_.prepare_payload();
        if (head) answer_.body().clear();  // Content-Length stays that of the GET
        stream_.expires_after(std::chrono::milliseconds(server_.limits.requestMs));
        http::async_write(stream_, answer_, [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
            if (self->closed_) return;
            if (ec) return self->Close();
            if (!keepAlive) return self->Linger();
            self->served_ = true;
            self->Read();
        });
    }

    // After a last answer: stop sending and read what the client still
    // sends for a moment, so that closing with unread bytes does not reset
    // the connection before the client has read the answer.
    void Linger() {
        phase_ = Phase::Lingering;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(std::chrono::seconds(1));
        Drain();
    }
    void Drain() {
        stream_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, size_t n) {
            if (self->closed_) return;
            self->drained_ += n;
            if (ec || self->drained_ > (1u << 20)) return self->Close();
            self->Drain();
        });
    }

    HttpServer::Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> answer_;
    std::array<char, 4096> scratch_{};
    size_t drained_ = 0;
    const uint64_t id_;
    const std::string client_;
    const std::string local_;
    Phase phase_ = Phase::Reading;
    Clock::time_point since_ = Clock::now();
    bool served_ = false;
    bool closed_ = false;
};

}  // namespace

void HttpServer::Impl::Dispatch(HttpRequest& req, std::function<void(HttpResponse)> send) const {
    const auto started = std::chrono::steady_clock::now();
    // The log line is made when the answer goes, by what it holds itself.
    auto finish = [send, log = requestLog, started, method = req.method, path = req.path,
                   client = req.remoteAddr](HttpResponse res) {
        if (log) {
            const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started).count();
            std::string line = "request method=" + LogValue(method) + " path=" + LogValue(path) +
                               " status=" + std::to_string(res.status) + " ms=" + std::to_string(ms) +
                               " client=" + LogValue(client);
            for (const auto& [name, value] : res.headers) {
                if (name == "Brenvik-Repeated") line += " repeated=" + LogValue(value);
            }
            log(line);
        }
        send(std::move(res));
    };
    HttpResponse res = Answer(req);
    if (!res.later) return finish(std::move(res));
    auto later = std::move(res.later);
    // What was set before the handler deferred (CORS above all: without it
    // a browser never sees the answer) goes with the answer that comes later.
    auto withEarly = [finish, early = std::move(res.headers)](HttpResponse answer) {
        for (const auto& [name, value] : early) {
            if (!answer.has_header(name)) answer.headers.emplace_back(name, value);
        }
        finish(std::move(answer));
    };
    try {
        later(withEarly);
    } catch (const std::exception& e) {
        // Nothing was handed on: answered here instead.
        HttpResponse failed;
        failed.status = 500;
        if (exceptionHandler) exceptionHandler(req, failed, e);
        withEarly(std::move(failed));
    }
}

HttpResponse HttpServer::Impl::Answer(HttpRequest& req) const {
    HttpResponse res;
    try {
        if (!(guard && guard(req, res))) {
            const std::string method = req.method == "HEAD" ? "GET" : req.method;
            auto route = std::find_if(routes.begin(), routes.end(), [&](const Route& r) {
                return r.method == method && std::regex_match(req.path, req.matches, r.pattern);
            });
            if (route != routes.end()) {
                route->handler(req, res);
            } else {
                res.status = 404;
            }
        }
    } catch (const std::exception& e) {
        res = HttpResponse();
        res.status = 500;
        if (exceptionHandler) exceptionHandler(req, res, e);
    } catch (...) {
        res = HttpResponse();
        res.status = 500;
        if (exceptionHandler) exceptionHandler(req, res, std::runtime_error("an unknown exception"));
    }
    if (res.status >= 400 && res.body.empty() && errorHandler) errorHandler(req, res);
    return res;
}

void HttpServer::Impl::Accept() {
    acceptor.async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors and the like: try again shortly, not in a loop.
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this](beast::error_code e) {
                if (!e) Accept();
            });
            return;
        }
        Admit(std::move(socket));
        Accept();
    });
}

void HttpServer::Impl::Admit(tcp::socket socket) {
    beast::error_code ec;
    tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec) return;
    tcp::endpoint local = socket.local_endpoint(ec);
    if (ec) return;
    std::string client = AddressText(remote.address());
    // At a limit, a connection still waiting for its request makes room;
    // when every one is being answered, the new one is closed unread.
    if (perClient[client] >= limits.perClient && !Evict(&client)) return Forget(0, client);
    if (sessions.size() >= limits.connections && !Evict(nullptr)) return Forget(0, client);
    socket.set_option(tcp::no_delay(true), ec);
    uint64_t id = ++nextId;
    auto session = std::make_shared<Session>(*this, std::move(socket), id, client, AddressText(local.address()));
    sessions.emplace(id, session);
    ++perClient[client];
    session->Read();
}

bool HttpServer::Impl::Evict(const std::string* client) {
    std::shared_ptr<Session> victim;
    for (const auto& [id, session] : sessions) {
        if (!session->Evictable() || (client && session->client() != *client)) continue;
        if (!victim || session->EvictionRank() < victim->EvictionRank()) victim = session;
    }
    if (victim) victim->Close();
    return victim != nullptr;
}

void HttpServer::Impl::Forget(uint64_t id, const std::string& client) {
    if (id != 0 && sessions.erase(id) > 0) --perClient[client];
    auto it = perClient.find(client);
    if (it != perClient.end() && it->second == 0) perClient.erase(it);
}

HttpServer::HttpServer(Limits limits) : impl_(std::make_unique<Impl>(limits)) { impl_->outbox->io = &impl_->io; }

HttpServer::~HttpServer() {
    Stop();
    {
        std::lock_guard<std::mutex> lock(impl_->outbox->mutex);
        impl_->outbox->io = nullptr;
    }
    if (impl_->pool) impl_->pool->join();
    impl_->pool.reset();
    impl_->sessions.clear();
}

HttpServer& HttpServer::Get(const std::string& pattern, Handler handler) {
    impl_->routes.push_back({"GET", std::regex(pattern), std::move(handler)});
    return *this;
}

HttpServer& HttpServer::Post(const std::string& pattern, Handler handler) {
    impl_->routes.push_back({"POST", std::regex(pattern), std::move(handler)});
    return *this;
}

HttpServer& HttpServer::Put(const std::string& pattern, Handler handler) {
    impl_->routes.push_back({"PUT", std::regex(pattern), std::move(handler)});
    return *this;
}

void HttpServer::SetGuard(Guard guard) { impl_->guard = std::move(guard); }
void HttpServer::SetErrorHandler(Handler handler) { impl_->errorHandler = std::move(handler); }
void HttpServer::SetExceptionHandler(ExceptionHandler handler) { impl_->exceptionHandler = std::move(handler); }
void HttpServer::SetRequestLog(std::function<void(const std::string&)> log) { impl_->requestLog = std::move(log); }

bool HttpServer::Bind(const std::string& host, int port, std::string* error) {
    const std::string shown = (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" +
                              std::to_string(port);
    beast::error_code ec;
    tcp::resolver resolver(impl_->io);
    auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service,
                                  ec);
    if (ec || found.empty()) {
        *error = "cannot listen on " + shown + ": " + (ec ? ec.message() : "no such address");
        return false;
    }
    tcp::endpoint endpoint = found.begin()->endpoint();
    tcp::acceptor& acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) PrepareListener(acceptor, ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (ec == asio::error::address_in_use) {
        *error = "cannot listen on " + shown + ": the address is in use (is another brenvikd running there?)";
        acceptor.close(ec);
        return false;
    }
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + shown + ": " + ec.message();
        acceptor.close(ec);
        return false;
    }
    impl_->port = acceptor.local_endpoint(ec).port();
    impl_->pool = std::make_unique<asio::thread_pool>(std::max<size_t>(impl_->limits.threads, 1));
    return true;
}

int HttpServer::port() const { return impl_->port; }

void HttpServer::Run() {
    if (!impl_->acceptor.is_open()) return;
    impl_->Accept();
    impl_->io.run();
}

void HttpServer::Stop() { impl_->io.stop(); }

std::function<void()> HttpServer::After(int ms, std::function<void()> fn) {
    // Made, waited on and cancelled on the io thread only; the io_context
    // owns it through the wait, so nothing outside may keep it alive.
    struct Pending {
        std::optional<asio::steady_timer> timer;
        bool cancelled = false;
    };
    auto pending = std::make_shared<Pending>();
    std::weak_ptr<Pending> handle = pending;
    impl_->outbox->Post([io = &impl_->io, pending, ms, fn = std::move(fn)]() mutable {
        if (pending->cancelled) return;
        pending->timer.emplace(*io, std::chrono::milliseconds(ms));
        pending->timer->async_wait([pending, fn = std::move(fn)](beast::error_code ec) {
            if (!ec && !pending->cancelled) fn();
        });
    });
    return [outbox = impl_->outbox, handle] {
        outbox->Post([handle] {
            if (auto waiting = handle.lock()) {
                waiting->cancelled = true;
                if (waiting->timer) waiting->timer->cancel();
            }
        });
    };
}

bool HttpRequest::has_header(const std::string& name) const { return headers.count(Lower(name)) > 0; }

std::string HttpRequest::get_header_value(const std::string& name) const {
    auto it = headers.find(Lower(name));
    return it == headers.end() ? "" : it->second;
}

std::string HttpRequest::get_param_value(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? "" : it->second;
}

void HttpResponse::set_header(const std::string& name, const std::string& value) {
    auto same = [&](const std::pair<std::string, std::string>& h) { return Lower(h.first) == Lower(name); };
    headers.erase(std::remove_if(headers.begin(), headers.end(), same), headers.end());
    headers.emplace_back(name, value);
}

void HttpResponse::set_content(const std::string& content, const std::string& type) {
    body = content;
    set_header("Content-Type", type);
}

bool HttpResponse::has_header(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return Lower(h.first) == Lower(name); });
}

std::string HttpResponse::get_header_value(const std::string& name) const {
    for (const auto& h : headers) {
        if (Lower(h.first) == Lower(name)) return h.second;
    }
    return "";
}

std::string CanonicalAddress(const std::string& text) {
    beast::error_code ec;
    asio::ip::address address = asio::ip::make_address(text, ec);
    return ec ? "" : AddressText(address);
}

bool IsLoopbackAddress(const std::string& text) {
    beast::error_code ec;
    asio::ip::address address = asio::ip::make_address(text, ec);
    if (ec) return false;
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
    }
    return address.is_loopback();
}

}  // namespace brenvikd
