// brenvikd's HTTP side: routes, the error shape, the token, CORS and the
// limits; every printer operation is handed to that printer's worker.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "service/config.h"
#include "service/device.h"
#include "service/http_server.h"
#include "service/ledger.h"
#include "service/receipts.h"
#include "service/tasks.h"
#include "service/web_policy.h"
#include "service/worker.h"

namespace brenvikd {

using DeviceFactory = std::function<std::unique_ptr<Device>(const PrinterConfig&)>;

// Deepest nesting of arrays and objects in a JSON text, strings skipped;
// counted before parsing so a hostile body never reaches the parser's stack.
int JsonDepth(const std::string& text);

// "12.50", "12", 1250 (kopecks as an integer) -> kopecks; false otherwise.
bool ParseAmount(const json& value, long long* kopecks);

// A request id is 1 to 64 characters of A-Z a-z 0-9 . _ : - (the receipt
// schema's rule): it is shown in logs, in URLs and on the status page.
bool ValidRequestId(const std::string& id);

class Service {
public:
    Service(Config config, Ledger& ledger, DeviceFactory devices, ReceiptValidator validator);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts the workers; each first reconciles its printer's unfinished
    // receipts. Returns once every printer has had its first try.
    void StartPrinters(int firstTryMs);
    // Tells what is queued that the service stops and waits up to graceMs
    // for what runs. False when a printer is still busy: the process must
    // then end without waiting for it (the next start decides what it did).
    bool StopPrinters(int graceMs);
    // Binds the socket (port 0 picks one); false with *error.
    bool Bind(std::string* error);
    int port() const { return port_; }
    // The port of GET /metrics without a token (config.metricsPort), once
    // bound; 0 when there is none.
    int metricsPort() const { return metricsPort_; }
    // Serves until Stop().
    void Serve();
    void Stop();

    // Another road in (the MQTT connector): a receipt, x-report, z-report
    // or cash movement (kind) for a printer, as the JSON text HTTP takes,
    // requestId required. The answer HTTP would give, now or by its task.
    Reply Take(const std::string& printer, const std::string& kind, const std::string& text);
    // Each printer as GET /printers describes it, with its last error.
    json Printers();

private:
    struct Printer {
        PrinterConfig config;
        std::unique_ptr<PrinterWorker> worker;
    };
    using Request = HttpRequest;
    using Response = HttpResponse;

    void Routes();
    // Host, Origin, token and Content-Type, before any route.
    bool Refused(const Request& req, Response& res);
    Printer* Find(const Request& req, Response& res);
    bool ParseBody(const Request& req, Response& res, json* body);
    std::optional<Reply> Parse(const std::string& text, json* body);
    // A cash movement's direction and amount; a report needs nothing.
    std::optional<Reply> CheckAction(const std::string& kind, const json& body, Action* action);
    // Checked, then claimed in the ledger and queued, on every road.
    Reply Recorded(Printer& printer, const std::string& kind, const json& body);
    void Enqueue(Printer& printer, const Request& req, Response& res, std::function<Answer(Device&)> op);
    void Await(const std::shared_ptr<Task>& task, const Request& req, Response& res);
    void PostReceipt(Printer& printer, const Request& req, Response& res);
    void PostAction(Printer& printer, const Request& req, Response& res, const std::string& kind, const json& body);
    void Respond(const Reply& reply, const Request& req, Response& res);
    json Describe(Printer& printer);
    // The text of GET /metrics.
    std::string Metrics();
    // The loopback port that serves GET /metrics alone.
    bool BindMetrics(std::string* error);

    Config config_;
    Ledger& ledger_;
    DeviceFactory devices_;
    ReceiptValidator validator_;
    ServiceMetrics metrics_;  // before the book, which reports to it
    ReceiptBook book_;
    TaskTable tasks_;
    std::map<std::string, Printer> printers_;
    WebPolicy policy_;
    std::unique_ptr<HttpServer> server_;
    int port_ = 0;
    std::unique_ptr<HttpServer> metricsServer_;
    int metricsPort_ = 0;
};

}  // namespace brenvikd
