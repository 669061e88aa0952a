#include "service/metrics_service.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "brenvik_version.h"
#include "service/metrics_process.h"
#include "service/observed_device.h"
#include "service/operations.h"

namespace brenvikd {
namespace {

using metrics::Labels;

// Seconds: a receipt takes one to ten at wire speed, a long one a minute;
// a status read tens of milliseconds, seconds when the line retries.
const std::vector<double> kReceiptBounds = {0.25, 0.5, 1, 2, 3, 5, 7.5, 10, 15, 20, 30, 60, 120};
const std::vector<double> kStatusBounds = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

const char* ReceiptLabel(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done:
        return "closed";
    case Outcome::Failed:
        return "failed";
    case Outcome::ReconciledDone:
        return "reconciled_closed";
    case Outcome::ReconciledFailed:
        return "reconciled_failed";
    case Outcome::Undecided:
    case Outcome::Unknown:
        break;
    }
    return "undecided";
}

const char* OperationLabel(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done:
        return "done";
    case Outcome::Failed:
        return "not_done";
    case Outcome::ReconciledDone:
        return "reconciled_done";
    case Outcome::ReconciledFailed:
        return "reconciled_not_done";
    case Outcome::Undecided:
        return "undecided";
    case Outcome::Unknown:
        break;
    }
    return "unknown";
}

// The printer's words are a short table of capitals; anything else (a
// garbled reply) is one series, not one per garble.
std::string WordLabel(const std::string& word) {
    if (word.empty() || word.size() > 24) return "other";
    for (char c : word) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return "other";
    }
    return word;
}

bool PaperWord(const std::string& word) { return word == "SOFTPAPER" || word == "HARDPAPER"; }

}  // namespace

// The device as the worker uses it, counting what passes through. Only the
// printer's worker thread calls it.
class MeteredDevice : public ObservedDevice {
public:
    MeteredDevice(ServiceMetrics& metrics, std::string printer, std::unique_ptr<Device> device,
                  std::atomic<bool>& answering)
        : ObservedDevice(std::move(device)),
          metrics_(metrics),
          printer_(std::move(printer)),
          statusSeconds_(metrics.statusSeconds_.With({printer_})),
          answering_(answering) {}

    bool Status(json* out, DeviceError* error) override {
        const auto began = std::chrono::steady_clock::now();
        const bool ok = ObservedDevice::Status(out, error);
        statusSeconds_.Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        return ok;
    }

private:
    // The printer tells nothing of its paper unless asked to print: until
    // it does, there is no paper series. A refusal is an answer; silence,
    // a line that will not open or only babbles is not.
    void Observe(bool ok, const DeviceError& error, bool printed) override {
        answering_ = ok || !(ConnectionError(error.number) || !Connected());
        if (!ok && !error.word.empty()) metrics_.errors_.With({printer_, WordLabel(error.word)}).Inc();
        if (ok && printed) metrics_.paperOut_.With({printer_}).Set(0);
        if (!ok && PaperWord(error.word)) metrics_.paperOut_.With({printer_}).Set(1);
    }

    ServiceMetrics& metrics_;
    const std::string printer_;
    metrics::Histogram& statusSeconds_;
    std::atomic<bool>& answering_;
};

ServiceMetrics::ServiceMetrics()
    : receipts_(registry_.AddCounter("brenvik_receipts_total",
                                     "Receipts by printer and outcome: closed, failed, reconciled_closed, "
                                     "reconciled_failed (decided later by the printer's check number), undecided "
                                     "(answered without an outcome).",
                                     {"printer", "outcome"})),
      operations_(registry_.AddCounter("brenvik_operations_total",
                                       "X-reports, Z-reports and cash movements by printer, kind and outcome: done, "
                                       "not_done, reconciled_done, reconciled_not_done, undecided, unknown.",
                                       {"printer", "kind", "outcome"})),
      errors_(registry_.AddCounter("brenvik_printer_errors_total",
                                   "Answers of a printer that carried an error word, by printer and word.",
                                   {"printer", "word"})),
      reconciliations_(registry_.AddCounter("brenvik_reconciliations_total",
                                            "Unfinished requests the printer's counters were asked about, by result: "
                                            "decided, undecided (they could not tell yet), ledger_failed.",
                                            {"printer", "result"})),
      receiptSeconds_(registry_.AddHistogram("brenvik_receipt_duration_seconds",
                                             "Time a receipt took at the printer, from the first byte sent to its "
                                             "outcome.",
                                             {"printer"}, kReceiptBounds)),
      statusSeconds_(registry_.AddHistogram("brenvik_status_request_duration_seconds",
                                            "Time a printer took to answer a status request (its document numbers).",
                                            {"printer"}, kStatusBounds)),
      queue_(registry_.AddGauge("brenvik_queue_depth", "Requests waiting in a printer's queue.", {"printer"})),
      capacity_(registry_.AddGauge("brenvik_queue_capacity",
                                   "Requests a printer's queue holds before new ones get 503.", {"printer"})),
      up_(registry_.AddGauge("brenvik_printer_up",
                             "1 when the printer answered its last command and every earlier request is decided, "
                             "else 0.",
                             {"printer"})),
      paperOut_(registry_.AddGauge("brenvik_printer_paper_out",
                                   "1 when the printer refused for want of paper, 0 once it printed; absent "
                                   "until it did either.",
                                   {"printer"})),
      lastCheck_(registry_.AddGauge("brenvik_printer_last_check_number",
                                    "The number of the printer's last closed check.", {"printer"})),
      undecided_(registry_.AddGauge("brenvik_requests_undecided",
                                    "Requests of the ledger (receipts, reports, cash) whose outcome is not known "
                                    "and that no job is working on.",
                                    {"printer"})),
      ledgerBytes_(registry_.AddGauge("brenvik_ledger_size_bytes",
                                      "Size of the ledger's file with its write-ahead log, bytes.")),
      degraded_(registry_.AddGauge("brenvik_ledger_degraded",
                                   "1 while the ledger fails and new requests are refused, else 0.")),
      build_(registry_.AddGauge("brenvik_build_info", "Always 1; the version of brenvikd.", {"version"})),
      cpu_(registry_.AddCounter("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.")),
      resident_(registry_.AddGauge("process_resident_memory_bytes", "Resident memory size in bytes.")),
      virtual_(registry_.AddGauge("process_virtual_memory_bytes", "Virtual memory size in bytes.")),
      openFds_(registry_.AddGauge("process_open_fds", "Number of open file descriptors.")),
      maxFds_(registry_.AddGauge("process_max_fds", "Maximum number of open file descriptors.")),
      started_(registry_.AddGauge("process_start_time_seconds",
                                  "Start time of the process since unix epoch in seconds.")) {
    build_.With({BRENVIK_VERSION_STRING}).Set(1);
}

std::unique_ptr<Device> ServiceMetrics::Printer(const std::string& printer, std::unique_ptr<Device> device) {
    // Series that exist from the start: a rate over them sees the first event.
    for (Outcome outcome : {Outcome::Done, Outcome::Failed, Outcome::ReconciledDone, Outcome::ReconciledFailed,
                            Outcome::Undecided}) {
        receipts_.With({printer, ReceiptLabel(outcome)});
    }
    receiptSeconds_.With({printer});
    up_.With({printer});
    std::unique_ptr<std::atomic<bool>>& answering = answering_[printer];
    answering = std::make_unique<std::atomic<bool>>(false);
    return std::make_unique<MeteredDevice>(*this, printer, std::move(device), *answering);
}

void ServiceMetrics::Finished(const std::string& printer, const std::string& kind, Outcome outcome) {
    if (kind == "receipt") {
        receipts_.With({printer, ReceiptLabel(outcome)}).Inc();
    } else {
        operations_.With({printer, kind, OperationLabel(outcome)}).Inc();
    }
}

void ServiceMetrics::ReceiptSeconds(const std::string& printer, double seconds) {
    receiptSeconds_.With({printer}).Observe(seconds);
}

void ServiceMetrics::Reconciled(const std::string& printer, const char* result) {
    reconciliations_.With({printer, result}).Inc();
}

void ServiceMetrics::SawPrinter(const std::string& printer, const nlohmann::json& snapshot, long undecided) {
    auto number = [&](const nlohmann::json& object, const char* key) -> const nlohmann::json* {
        auto it = object.find(key);
        return it != object.end() && it->is_number() ? &*it : nullptr;
    };
    if (const nlohmann::json* queued = number(snapshot, "queue")) queue_.With({printer}).Set(queued->get<double>());
    if (const nlohmann::json* held = number(snapshot, "capacity")) capacity_.With({printer}).Set(held->get<double>());
    const auto connection = snapshot.find("connection");
    const auto answering = answering_.find(printer);
    const bool up = connection != snapshot.end() && *connection == "online" && answering != answering_.end() &&
                    answering->second->load();
    up_.With({printer}).Set(up ? 1 : 0);
    const auto status = snapshot.find("printer");
    if (status != snapshot.end() && status->is_object()) {
        if (const nlohmann::json* last = number(*status, "lastCheckNumber")) {
            lastCheck_.With({printer}).Set(last->get<double>());
        }
    }
    if (undecided >= 0) undecided_.With({printer}).Set(static_cast<double>(undecided));
}

void ServiceMetrics::SawLedger(const std::string& path, bool degraded) {
    double bytes = 0;
    for (const std::string& file : {path, path + "-wal"}) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(std::filesystem::u8path(file), ec);
        if (!ec) bytes += static_cast<double>(size);
    }
    ledgerBytes_.With({}).Set(bytes);
    degraded_.With({}).Set(degraded ? 1 : 0);
}

std::string ServiceMetrics::Render() {
    const ProcessFigures figures = ReadProcessFigures();
    if (figures.cpuSeconds) cpu_.With({}).Reach(*figures.cpuSeconds);
    const std::pair<metrics::GaugeFamily*, const std::optional<double>*> gauges[] = {
        {&resident_, &figures.residentBytes}, {&virtual_, &figures.virtualBytes}, {&openFds_, &figures.openFds},
        {&maxFds_, &figures.maxFds},          {&started_, &figures.startTimeSeconds}};
    for (const auto& [family, value] : gauges) {
        if (*value) family->With({}).Set(**value);
    }
    return registry_.Render();
}

}  // namespace brenvikd
