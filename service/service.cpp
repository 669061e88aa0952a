#include "service/service.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

#include "json/schemas.h"
#include "service/embedded.h"

namespace brenvikd {
namespace {

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// The language of an answer's error meanings: ?lang= when given, else the
// first of Ukrainian and English in Accept-Language by its weight; English
// otherwise. Answers are kept in English (the ledger) and told in it here.
std::string LanguageOf(const HttpRequest& req) {
    auto ukrainian = [](std::string tag) {
        for (char& c : tag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return tag == "uk" || tag.rfind("uk-", 0) == 0 || tag.rfind("uk_", 0) == 0;
    };
    if (req.params.count("lang") != 0) return ukrainian(req.get_param_value("lang")) ? "uk" : "en";
    const std::string header = req.get_header_value("Accept-Language");
    double best = 0;
    std::string language = "en";
    size_t from = 0;
    while (from < header.size()) {
        size_t comma = header.find(',', from);
        if (comma == std::string::npos) comma = header.size();
        std::string item = header.substr(from, comma - from);
        from = comma + 1;
        double weight = 1;
        const size_t q = item.find(";q=");
        if (q != std::string::npos) {
            weight = std::strtod(item.c_str() + q + 3, nullptr);
            item.resize(q);
        }
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        const bool uk = ukrainian(item);
        const bool en = item == "en" || item.rfind("en-", 0) == 0;
        if ((uk || en) && weight > best) {
            best = weight;
            language = uk ? "uk" : "en";
        }
    }
    return language;
}

void Send(const HttpRequest& req, HttpResponse& res, int status, json body) {
    Localize(body, LanguageOf(req));
    res.status = status;
    res.set_content(Dump(body), "application/json");
}

// `path`: a JSON Pointer into the body ("" the whole of it); nullptr: none.
void Error(const HttpRequest& req, HttpResponse& res, int status, const std::string& message,
           const char* path = nullptr) {
    Send(req, res, status, ErrorBody(status, message, {}, path));
}

// A document with problems: every one of them, the first told as the
// error itself.
Reply Invalid(const json& problems) {
    const json& first = problems.front();
    std::string message = TextIn(first, "message", "invalid");
    if (problems.size() > 1) message += " (and " + std::to_string(problems.size() - 1) + " more problems)";
    const std::string path = TextIn(first, "path");
    return Reply(400, ErrorBody(400, message, {}, path.c_str(), problems));
}

Reply Problem(int status, const std::string& message, const char* path = nullptr) {
    return Reply(status, ErrorBody(status, message, {}, path));
}

void Busy(const HttpRequest& req, HttpResponse& res, const std::string& printer) {
    res.set_header("Retry-After", "2");
    Error(req, res, 503, "the queue of printer '" + printer + "' is full; try again shortly");
}

bool TimingSafeEqual(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    return diff == 0 && !b.empty();
}

// The text at `key`, or nothing when it is missing or not a text.
std::optional<std::string> TextAt(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

const char kPrinterRoute[] = "/printers/([A-Za-z0-9_-]+)";

HttpServer::Limits LimitsOf(const Config& config) {
    HttpServer::Limits limits;
    limits.threads = static_cast<size_t>(config.threads);
    limits.bodyBytes = config.bodyLimit;
    limits.requestMs = config.requestTimeoutMs;
    limits.perClient = config.clientConnections;
    limits.connections = config.connections;
    return limits;
}

// The service's clock as the printer's time of day, for "now".
std::string LocalTimeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace

bool ValidRequestId(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == ':' || c == '-';
    });
}

int JsonDepth(const std::string& text) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return deepest;
}

bool ParseAmount(const json& value, long long* kopecks) {
    if (value.is_number_integer()) {
        long long v = value.get<long long>();
        if (v < 0 || v > 99999999999LL) return false;
        *kopecks = v;
        return true;
    }
    if (!value.is_string()) return false;
    const std::string text = value.get<std::string>();
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string cents = dot == std::string::npos ? "" : text.substr(dot + 1);
    auto digits = [](const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; };
    if (whole.empty() || whole.size() > 9 || !digits(whole) || cents.size() > 2 || !digits(cents) ||
        (dot != std::string::npos && cents.empty())) {
        return false;
    }
    while (cents.size() < 2) cents += '0';
    *kopecks = std::stoll(whole) * 100 + std::stoll(cents);
    return true;
}

Service::Service(Config config, Ledger& ledger, DeviceFactory devices, ReceiptValidator validator)
    : config_(std::move(config)),
      ledger_(ledger),
      devices_(std::move(devices)),
      validator_(std::move(validator)),
      book_(ledger, &metrics_),
      server_(std::make_unique<HttpServer>(LimitsOf(config_))) {
    policy_.hosts = config_.allowHosts;
    policy_.origins = config_.corsOrigins;
    // Standard error is what journald (or brenvikd.log on Windows) keeps.
    if (config_.logRequests)
        server_->SetRequestLog([](const std::string& line) { fprintf(stderr, "brenvikd: %s\n", line.c_str()); });
    for (const PrinterConfig& pc : config_.printers) {
        Printer& printer = printers_[pc.id];
        printer.config = pc;
        PrinterWorker::Options options;
        options.capacity = config_.queue;
        std::string id = pc.id;
        printer.worker = std::make_unique<PrinterWorker>(
            id, metrics_.Printer(id, devices_(pc)), options,
            [this, id](Device& device, bool connected) { return book_.Prepare(id, device, connected); });
    }
    Routes();
}

Service::~Service() {
    Stop();
    for (auto& entry : printers_) entry.second.worker->Stop();
}

void Service::StartPrinters(int firstTryMs) {
    for (auto& entry : printers_) entry.second.worker->Start();
    // Serve once each printer has reconciled or given up its first try, so
    // no new receipt overtakes the decision about an old one.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(firstTryMs);
    for (auto& entry : printers_) {
        while (entry.second.worker->Snapshot()["connection"] == "starting" &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

bool Service::StopPrinters(int graceMs) {
    for (auto& entry : printers_) entry.second.worker->RequestStop();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    bool all = true;
    for (auto& entry : printers_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        all = entry.second.worker->Join(std::max(0, static_cast<int>(left.count()))) && all;
    }
    // Whoever still waits for a printer that did not come back is told now.
    tasks_.FinishAll(504, ErrorBody(504, "the service stopped while the printer was busy with this request; what "
                                         "it did is decided when the service starts again: ask again then with "
                                         "the same requestId"));
    return all;
}

bool Service::Bind(std::string* error) {
    if (!server_->Bind(config_.host, config_.port, error)) return false;
    port_ = server_->port();
    policy_.port = port_;
    if (!BindMetrics(error)) return false;
    return true;
}

void Service::Serve() {
    // The metrics port has a thread of its own, and ends with the API's.
    std::thread metrics;
    if (metricsServer_) metrics = std::thread([this] { metricsServer_->Run(); });
    server_->Run();
    if (metricsServer_) metricsServer_->Stop();
    if (metrics.joinable()) metrics.join();
}

void Service::Stop() {
    if (server_) server_->Stop();
    if (metricsServer_) metricsServer_->Stop();
}

std::string Service::Metrics() {
    for (auto& entry : printers_) {
        metrics_.SawPrinter(entry.first, entry.second.worker->Snapshot(), book_.Undecided(entry.first));
    }
    metrics_.SawLedger(ledger_.path(), book_.Health("")["state"] == "degraded");
    return metrics_.Render();
}

// GET /metrics alone, for a scraper on this machine: no token, but the
// Host must name it, so a page whose name was pointed here cannot read it.
bool Service::BindMetrics(std::string* error) {
    if (config_.metricsPort < 0) return true;
    HttpServer::Limits limits = LimitsOf(config_);
    limits.threads = 2;
    limits.perClient = std::min<size_t>(limits.perClient, 8);
    limits.connections = std::min<size_t>(limits.connections, 16);
    metricsServer_ = std::make_unique<HttpServer>(limits);
    if (!metricsServer_->Bind("127.0.0.1", config_.metricsPort, error)) return false;
    metricsPort_ = metricsServer_->port();
    WebPolicy policy;
    policy.port = metricsPort_;
    HttpServer& s = *metricsServer_;
    s.SetGuard([policy](const Request& req, Response& res) {
        const std::string host = req.get_header_value("Host");
        if ((host.empty() && req.version >= 11) || (!host.empty() && !NamesThisService(host, 80, req.localAddr, policy)) ||
            (req.has_header("Origin") && !OriginAllowed(req.get_header_value("Origin"), req.localAddr, policy))) {
            Error(req, res, 403, "this port serves GET /metrics to this machine only");
            return true;
        }
        return false;
    });
    s.SetErrorHandler([](const Request& req, Response& res) {
        Error(req, res, res.status, res.status == 404 ? "this port serves GET /metrics only" : "the request was refused");
    });
    s.SetExceptionHandler(
        [](const Request& req, Response& res, const std::exception& e) { Error(req, res, 500, e.what()); });
    s.Get("/metrics", [this](const Request&, Response& res) { res.set_content(Metrics(), metrics::kContentType); });
    return true;
}

Service::Printer* Service::Find(const Request& req, Response& res) {
    auto it = printers_.find(req.matches[1].str());
    if (it == printers_.end()) {
        Error(req, res, 404, "no printer '" + req.matches[1].str() + "'");
        return nullptr;
    }
    return &it->second;
}

bool Service::ParseBody(const Request& req, Response& res, json* body) {
    std::optional<Reply> refused = Parse(req.body, body);
    if (refused) Respond(*refused, req, res);
    return !refused;
}

std::optional<Reply> Service::Parse(const std::string& text, json* body) {
    if (JsonDepth(text) > config_.nestingLimit) {
        return Problem(400, "the JSON is nested deeper than " + std::to_string(config_.nestingLimit) + " levels", "");
    }
    *body = json::parse(text, nullptr, false);
    if (body->is_discarded()) {
        // The document reader says what is wrong and where: the character
        // as U+XXXX, bad UTF-8 by its bytes, a syntax error by its place.
        json problems;
        try {
            problems = validator_(text);
        } catch (const std::exception&) {
        }
        if (problems.is_array() && !problems.empty()) return Invalid(problems);
        return Problem(400, "the body is not valid JSON", "");
    }
    if (!body->is_object()) return Problem(400, "the body is not a JSON object", "");
    return std::nullopt;
}

void Service::Await(const std::shared_ptr<Task>& task, const Request& req, Response& res) {
    bool async = req.get_param_value("async") == "1";
    if (!async) {
        // No handler thread waits for the printer, or 64 busy printers
        // would hold every one and a status request would wait behind
        // them: the answer goes when the task ends, or as 202 after waitMs.
        res.later = [this, task, language = LanguageOf(req)](std::function<void(HttpResponse)> send) {
            struct Once {
                std::mutex mutex;
                bool answered = false;
                std::function<void()> cancelTimer;
            };
            auto once = std::make_shared<Once>();
            auto answer = [task, language, send, once] {
                std::function<void()> cancelTimer;
                {
                    std::lock_guard<std::mutex> lock(once->mutex);
                    if (once->answered) return;
                    once->answered = true;
                    cancelTimer = std::move(once->cancelTimer);
                }
                HttpResponse out;
                json body = task->Describe();
                if (body["state"] == "done") {
                    if (cancelTimer) cancelTimer();
                    out.status = task->status();
                    body = task->result();
                } else {
                    out.status = 202;
                    out.set_header("Location", "/tasks/" + task->id());
                }
                Localize(body, language);
                out.set_content(Dump(body), "application/json");
                send(std::move(out));
            };
            std::function<void()> cancelTimer = server_->After(config_.waitMs, answer);
            {
                std::lock_guard<std::mutex> lock(once->mutex);
                if (!once->answered) once->cancelTimer = std::move(cancelTimer);
            }
            task->OnDone(answer);
        };
        return;
    }
    res.set_header("Location", "/tasks/" + task->id());
    Send(req, res, 202, task->Describe());
}

void Service::Enqueue(Printer& printer, const Request& req, Response& res, std::function<Answer(Device&)> op) {
    std::shared_ptr<Task> task = tasks_.Create(printer.config.id);
    bool queued = printer.worker->Submit([task, op](Device* device, const DeviceError& unavailable) {
        task->SetRunning();
        if (!device) {
            task->Finish(503, ErrorBody(503, "the printer is not available: " + unavailable.message, unavailable));
            return;
        }
        try {
            Answer answer = op(*device);
            task->Finish(answer.status, answer.body);
        } catch (const std::exception& e) {
            task->Finish(500, ErrorBody(500, e.what()));
        }
    });
    if (!queued) {
        Busy(req, res, printer.config.id);
        return;
    }
    Await(task, req, res);
}

// A device operation answers 200 with its JSON, or 422 with the printer's error.
using Call = std::function<bool(Device&, json*, DeviceError*)>;
static std::function<Answer(Device&)> Operation(Call call) {
    return [call](Device& device) {
        json out;
        DeviceError error;
        if (call(device, &out, &error)) return Answer{200, out};
        return Answer{422, ErrorBody(422, error.message, error)};
    };
}

void Service::PostReceipt(Printer& printer, const Request& req, Response& res) {
    json body;
    if (!ParseBody(req, res, &body)) return;
    Respond(Recorded(printer, kReceiptKind, body), req, res);
}

std::optional<Reply> Service::CheckAction(const std::string& kind, const json& body, Action* action) {
    *action = Action{kind};
    if (kind != "cash") return std::nullopt;
    std::string direction = TextAt(body, "direction").value_or("");
    if (direction != "in" && direction != "out") {
        return Problem(400, "direction must be \"in\" or \"out\"", "/direction");
    }
    long long amount = 0;
    if (!body.contains("amount") || !ParseAmount(body["amount"], &amount) || amount == 0) {
        return Problem(400, "amount must be above zero: \"12.50\" or 1250 kopecks", "/amount");
    }
    *action = Action{"cash", direction == "in", amount};
    return std::nullopt;
}

Reply Service::Recorded(Printer& printer, const std::string& kind, const json& body) {
    Action action;
    if (kind != kReceiptKind) {
        if (std::optional<Reply> refused = CheckAction(kind, body, &action)) return *refused;
    }
    if (!body.contains("requestId")) {
        return Problem(400, "requestId is required: a unique id per receipt makes retries safe", "/requestId");
    }
    const std::string requestId = TextAt(body, "requestId").value_or("");
    if (!ValidRequestId(requestId)) {
        return Problem(400, "requestId must be 1 to 64 characters of A-Z a-z 0-9 . _ : -", "/requestId");
    }
    if (kind != kReceiptKind) {
        return book_.Submit(*printer.worker, tasks_, action.kind, requestId, action.Canonical(requestId));
    }
    const std::string canonical = body.dump();
    const json problems = validator_(canonical);
    if (problems.is_array() && !problems.empty()) return Invalid(problems);
    return book_.Submit(*printer.worker, tasks_, kReceiptKind, requestId, canonical);
}

Reply Service::Take(const std::string& printer, const std::string& kind, const std::string& text) {
    auto it = printers_.find(printer);
    if (it == printers_.end()) return Problem(404, "no printer '" + printer + "'");
    if (text.size() > config_.bodyLimit) return Problem(413, "the request body is too large");
    json body;
    if (std::optional<Reply> refused = Parse(text, &body)) return *refused;
    return Recorded(it->second, kind, body);
}

json Service::Printers() {
    json list = json::array();
    for (auto& entry : printers_) {
        json printer = Describe(entry.second);
        printer["error"] = entry.second.worker->Snapshot()["error"];
        list.push_back(printer);
    }
    return list;
}

void Service::Respond(const Reply& reply, const Request& req, Response& res) {
    if (reply.task) {
        Await(reply.task, req, res);
        return;
    }
    for (const auto& header : reply.headers) res.set_header(header.first, header.second);
    Send(req, res, reply.status, reply.body);
}

// With a requestId the action is recorded in the ledger and done once, as
// receipts are; without one it is done at once.
void Service::PostAction(Printer& printer, const Request& req, Response& res, const std::string& kind,
                         const json& body) {
    Action action;
    if (std::optional<Reply> refused = CheckAction(kind, body, &action)) return Respond(*refused, req, res);
    if (!body.contains("requestId")) {
        if (std::optional<Reply> refused = book_.Refusal()) {
            Respond(*refused, req, res);
        } else {
            const std::string id = printer.config.id;
            Enqueue(printer, req, res, [this, action, id](Device& device) {
                Answer answer = RunOperation(action, device);
                const bool reconciled = FlagIn(answer.body, "reconciled");
                metrics_.Finished(id, action.kind,
                                  answer.status == 200   ? (reconciled ? Outcome::ReconciledDone : Outcome::Done)
                                  : answer.status == 422 ? (reconciled ? Outcome::ReconciledFailed : Outcome::Failed)
                                                         : Outcome::Unknown);
                return answer;
            });
        }
        return;
    }
    Respond(Recorded(printer, kind, body), req, res);
}

json Service::Describe(Printer& printer) {
    json snapshot = printer.worker->Snapshot();
    json out = {{"id", printer.config.id},
                {"connection", snapshot["connection"]},
                {"busy", snapshot["busy"]},
                {"queue", snapshot["queue"]},
                {"capacity", snapshot["capacity"]}};
    if (!printer.config.device.empty()) {
        out["device"] = printer.config.device;
    } else {
        out["port"] = printer.config.port;
    }
    const json& status = snapshot["printer"];
    out["serialNumber"] = status.is_object() ? status.value("serialNumber", json(nullptr)) : json(nullptr);
    out["fiscalNumber"] = status.is_object() ? status.value("fiscalNumber", json(nullptr)) : json(nullptr);
    out["ledger"] = book_.Health(printer.config.id);
    return out;
}

bool Service::Refused(const Request& req, Response& res) {
    // Against DNS rebinding: a page whose name was pointed at this machine
    // still sends its own name as the Host.
    std::string host = req.get_header_value("Host");
    if (host.empty() && req.version >= 11) {
        Error(req, res, 400, "a Host header is required");
        return true;
    }
    if (!host.empty() && !NamesThisService(host, 80, req.localAddr, policy_)) {
        Error(req, res, 403, "the Host '" + host + "' does not name this service; allow it with --allow-host");
        return true;
    }
    // Browsers send the page's Origin with every request that changes
    // anything; a program (curl, a till) sends none.
    std::string origin = req.get_header_value("Origin");
    if (req.has_header("Origin") && !OriginAllowed(origin, req.localAddr, policy_)) {
        Error(req, res, 403, "the origin '" + origin + "' may not call this service; allow it with --cors-origin");
        return true;
    }
    bool cors = req.has_header("Origin") &&
                std::find(config_.corsOrigins.begin(), config_.corsOrigins.end(), origin) != config_.corsOrigins.end();
    if (cors) {
        res.set_header("Access-Control-Allow-Origin", origin);
        res.set_header("Vary", "Origin");
        // A page elsewhere reads a repeat and a task's place like a program.
        res.set_header("Access-Control-Expose-Headers", "Brenvik-Repeated, Location, Retry-After");
    }
    if (req.method == "OPTIONS") {
        if (!cors) {
            Error(req, res, 403, "origin not allowed");
            return true;
        }
        res.set_header("Access-Control-Allow-Methods", "GET, POST, PUT, OPTIONS");
        res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
        res.set_header("Access-Control-Max-Age", "600");
        res.status = 204;
        return true;
    }
    // The pages need no token: they ask for it.
    const bool page = req.method == "GET" && (req.path == "/" || req.path == "/sample");
    if (!config_.token.empty() && !page) {
        std::string header = req.get_header_value("Authorization");
        const std::string prefix = "Bearer ";
        if (header.compare(0, prefix.size(), prefix) != 0 ||
            !TimingSafeEqual(header.substr(prefix.size()), config_.token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            Error(req, res, 401, "a valid bearer token is required");
            return true;
        }
    }
    // A form or a text/plain fetch from any page reaches us without a
    // preflight; JSON cannot. An empty body needs no type.
    if ((req.method == "POST" || req.method == "PUT") &&
        (req.has_header("Content-Type") ? !IsJsonContentType(req.get_header_value("Content-Type"))
                                        : !req.body.empty())) {
        Error(req, res, 415, "the body must be sent as Content-Type: application/json");
        return true;
    }
    return false;
}

void Service::Routes() {
    HttpServer& s = *server_;
    const std::string p = kPrinterRoute;

    s.SetGuard([this](const Request& req, Response& res) { return Refused(req, res); });
    // Errors found before a route (413 and the like, unknown routes) get our shape too.
    s.SetErrorHandler([](const Request& req, Response& res) {
        Error(req, res, res.status,
              res.status == 404   ? "no such route"
              : res.status == 413 ? "the request body is too large"
              : res.status == 431 ? "the request's headers are too large"
              : res.status == 400 ? "malformed request"
                                  : "the request was refused");
    });
    s.SetExceptionHandler(
        [](const Request& req, Response& res, const std::exception& e) { Error(req, res, 500, e.what()); });

    s.Get("/", [](const Request&, Response& res) { res.set_content(StatusPageHtml(), "text/html; charset=utf-8"); });
    s.Get("/openapi.json", [](const Request&, Response& res) { res.set_content(OpenApiJson(), "application/json"); });
    s.Get("/metrics", [this](const Request&, Response& res) { res.set_content(Metrics(), metrics::kContentType); });
    // The JSON Schemas the API document refers to (schemas/NAME.schema.json).
    s.Get(R"(/schemas/([a-z-]+\.schema\.json))", [](const Request& req, Response& res) {
        const char* schema = brenvik::results::SchemaText(req.matches[1].str());
        if (schema == nullptr) {
            Error(req, res, 404, "no schema '" + req.matches[1].str() + "'");
            return;
        }
        res.set_content(schema, "application/schema+json");
    });
    s.Get("/sample", [](const Request&, Response& res) { res.set_content(SamplePageHtml(), "text/html; charset=utf-8"); });
    s.Get("/printers", [this](const Request& req, Response& res) {
        json list = json::array();
        for (auto& entry : printers_) list.push_back(Describe(entry.second));
        Send(req, res, 200, {{"printers", list}});
    });
    s.Get(p, [this](const Request& req, Response& res) {
        if (Printer* printer = Find(req, res)) Send(req, res, 200, Describe(*printer));
    });
    s.Get(p + "/status", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        if (!printer) return;
        json status = printer->worker->Snapshot();
        status["ledger"] = book_.Health(printer->config.id);
        // The printer's last error in the one error shape.
        if (status["error"].is_object()) {
            const json& told = status["error"];
            const DeviceError last(static_cast<int>(NumberIn(told, "number", 0)), TextIn(told, "word"),
                                   TextIn(told, "message"), TextIn(told, "advice"));
            const bool refused = last.number != 0 && !ConnectionError(last.number);
            status["error"] = ErrorBody(refused ? 422 : 503, last.message, last)["error"];
        }
        Send(req, res, 200, status);
    });
    s.Get(p + "/receipts", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        if (!printer) return;
        int limit = 20;
        std::string text = req.get_param_value("limit");
        if (!text.empty()) {
            if (text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
                Error(req, res, 400, "limit must be a number from 1 to 1000");
                return;
            }
            limit = std::clamp(std::stoi(text), 1, 1000);
        }
        json list = json::array();
        for (const LedgerEntry& e : ledger_.Recent(printer->config.id, limit)) {
            list.push_back({{"requestId", e.requestId},
                            {"state", StateName(e.state)},
                            {"checkNumber", e.checkNumber ? json(*e.checkNumber) : json(nullptr)},
                            {"createdMs", e.createdMs},
                            {"updatedMs", e.updatedMs}});
        }
        Send(req, res, 200, {{"receipts", list}});
    });
    s.Get(R"(/receipts/([\x21-\x7e]{1,64}))", [this](const Request& req, Response& res) {
        std::optional<LedgerEntry> e = ledger_.Find(req.matches[1].str());
        if (!e) {
            Error(req, res, 404, "no receipt '" + req.matches[1].str() + "'");
            return;
        }
        json out = {{"requestId", e->requestId},
                    {"printer", e->printer},
                    {"state", StateName(e->state)},
                    {"checkNumber", e->checkNumber ? json(*e->checkNumber) : json(nullptr)}};
        if (IsFinal(e->state)) out["answer"] = ReceiptBook::Stored(*e).body;
        Send(req, res, 200, out);
    });
    // Routes without a body: find the printer, hand the call to its worker.
    using Method = HttpServer& (HttpServer::*)(const std::string&, HttpServer::Handler);
    auto simple = [&](Method method, const char* route, Call call) {
        (s.*method)(p + route, [this, call](const Request& req, Response& res) {
            if (Printer* printer = Find(req, res)) Enqueue(*printer, req, res, Operation(call));
        });
    };
    s.Post(p + "/receipt", [this](const Request& req, Response& res) {
        if (Printer* printer = Find(req, res)) PostReceipt(*printer, req, res);
    });
    for (const char* kind : {"x-report", "z-report"}) {
        s.Post(p + "/" + kind, [this, kind](const Request& req, Response& res) {
            Printer* printer = Find(req, res);
            json body = json::object();
            if (!printer || (!req.body.empty() && !ParseBody(req, res, &body))) return;
            PostAction(*printer, req, res, kind, body);
        });
    }
    s.Post(p + "/cash", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        json body;
        if (!printer || !ParseBody(req, res, &body)) return;
        PostAction(*printer, req, res, "cash", body);
    });
    simple(&HttpServer::Get, "/time", [](Device& d, json* out, DeviceError* e) { return d.GetTime(out, e); });
    s.Put(p + "/time", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        json body;
        if (!printer || !ParseBody(req, res, &body)) return;
        static const std::regex shape(R"(\d{4}-\d{2}-\d{2}T([01]\d|2[0-3]):[0-5]\d:[0-5]\d)");
        std::string when = TextAt(body, "time").value_or("");
        if (when != "now" && !std::regex_match(when, shape)) {
            Error(req, res, 400, "time must be \"now\" or \"YYYY-MM-DDThh:mm:ss\" on the printer's date", "/time");
            return;
        }
        // The printer sets only its time of day and keeps its date: another
        // date is refused, never dropped. "now" is read when the printer's turn comes.
        Enqueue(*printer, req, res, [when](Device& d) {
            json clock, out;
            DeviceError e;
            if (!d.GetTime(&clock, &e)) return Answer{422, ErrorBody(422, e.message, e)};
            const std::string date = TextAt(clock, "date").value_or("");
            if (when != "now" && when.compare(0, 10, date) != 0) {
                return Answer{400, ErrorBody(400, "the printer's date is " + date + " and cannot be set; only its time",
                                             {}, "/time")};
            }
            if (!d.SetTime(when == "now" ? date + "T" + LocalTimeOfDay() : when, &out, &e)) {
                return Answer{422, ErrorBody(422, e.message, e)};
            }
            return Answer{200, out};
        });
    });
    s.Post(p + "/raw", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        json body;
        if (!printer) return;
        if (!config_.raw) {
            Error(req, res, 403, "raw commands are switched off on this service");
            return;
        }
        if (!ParseBody(req, res, &body)) return;
        std::string command = TextAt(body, "command").value_or("");
        if (command.size() < 4 || command.size() > 250) {
            Error(req, res, 400, "command must be a text of 4 to 250 characters", "/command");
            return;
        }
        Enqueue(*printer, req, res,
                Operation([command](Device& d, json* out, DeviceError* e) { return d.Raw(command, out, e); }));
    });
    s.Get(p + "/documents/([a-z]+)", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        if (!printer) return;
        std::string kind = req.matches[2].str();
        static const char* const kinds[] = {"config", "taxes", "cash", "fiscal", "documents"};
        if (std::find(std::begin(kinds), std::end(kinds), kind) == std::end(kinds)) {
            Error(req, res, 404, "no document '" + kind + "': config, taxes, cash, fiscal or documents");
            return;
        }
        Enqueue(*printer, req, res,
                Operation([kind](Device& d, json* out, DeviceError* e) { return d.Document(kind, 0, out, e); }));
    });
    s.Get(p + "/articles/([0-9]{1,6})", [this](const Request& req, Response& res) {
        Printer* printer = Find(req, res);
        if (!printer) return;
        int article = std::stoi(req.matches[2].str());
        Enqueue(*printer, req, res, Operation([article](Device& d, json* out, DeviceError* e) {
                    return d.Document("article", article, out, e);
                }));
    });
    s.Get(R"(/tasks/([0-9a-f]+-[0-9]+))", [this](const Request& req, Response& res) {
        std::shared_ptr<Task> task = tasks_.Find(req.matches[1].str());
        if (!task) {
            Error(req, res, 404, "no task '" + req.matches[1].str() + "'");
            return;
        }
        Send(req, res, 200, task->Describe());
    });
}

}  // namespace brenvikd
