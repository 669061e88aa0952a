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
#include "service/ledger.h"
#include "service/receipts.h"
#include "service/tasks.h"
#include "service/worker.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace brenvikd {

using DeviceFactory = std::function<std::unique_ptr<Device>(const PrinterConfig&)>;

// Deepest nesting of arrays and objects in a JSON text, strings skipped;
// counted before parsing so a hostile body never reaches the parser's stack.
int JsonDepth(const std::string& text);

// "12.50", "12", 1250 (kopecks as an integer) -> kopecks; false otherwise.
bool ParseAmount(const json& value, long long* kopecks);

class Service {
public:
    Service(Config config, Ledger& ledger, DeviceFactory devices, ReceiptValidator validator);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts the workers; each first reconciles its printer's unfinished
    // receipts. Returns once every printer has had its first try.
    void StartPrinters(int firstTryMs);
    // Binds the socket (port 0 picks one); false with *error.
    bool Bind(std::string* error);
    int port() const { return port_; }
    // Serves until Stop().
    void Serve();
    void Stop();

private:
    struct Printer {
        PrinterConfig config;
        std::unique_ptr<PrinterWorker> worker;
    };
    using Request = httplib::Request;
    using Response = httplib::Response;

    void Routes();
    Printer* Find(const Request& req, Response& res);
    bool ParseBody(const Request& req, Response& res, json* body);
    void Enqueue(Printer& printer, const Request& req, Response& res, std::function<Answer(Device&)> op);
    void Await(const std::shared_ptr<Task>& task, const Request& req, Response& res);
    void PostReceipt(Printer& printer, const Request& req, Response& res);
    json Describe(Printer& printer);

    Config config_;
    Ledger& ledger_;
    DeviceFactory devices_;
    ReceiptValidator validator_;
    ReceiptBook book_;
    TaskTable tasks_;
    std::map<std::string, Printer> printers_;
    std::mutex receiptsMutex_;  // a request id is claimed and queued as one step
    std::map<std::string, std::shared_ptr<Task>> receiptTasks_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
};

}  // namespace brenvikd
