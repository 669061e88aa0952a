// brenvikd's metrics (docs/metrics.md): what the service counts as it
// works, and what it reads when GET /metrics is asked.
//
// The service owns one ServiceMetrics. Whatever road a request comes in by,
// it reaches the printer through the receipt book (ReceiptBook::Submit) or
// the operations, which report here; so does every printer's device,
// wrapped by Printer(). Nothing else needs to call in.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "service/device.h"
#include "service/metrics.h"

namespace brenvikd {

// How a request to the printer ended, as the metrics tell it.
enum class Outcome {
    Done,              // printed and closed; the operation done
    Failed,            // refused or cancelled: nothing printed
    ReconciledDone,    // its reply was lost; the printer's counters say it was done
    ReconciledFailed,  // the same, and they say it was not
    Undecided,         // answered without an outcome: the reconciliation decides it later
    Unknown,           // decided as something nothing the printer reports can tell
};

class ServiceMetrics {
public:
    ServiceMetrics();
    ServiceMetrics(const ServiceMetrics&) = delete;
    ServiceMetrics& operator=(const ServiceMetrics&) = delete;

    // A printer's series start at zero, and its device is metered: every
    // error word it answers, its paper, and how long it takes to tell its
    // status. Call once per printer, before its worker starts.
    std::unique_ptr<Device> Printer(const std::string& printer, std::unique_ptr<Device> device);

    // --- the receipt book and the operations ---

    // A receipt (kind "receipt") or a report or cash movement ("x-report",
    // "z-report", "cash") got its outcome.
    void Finished(const std::string& printer, const std::string& kind, Outcome outcome);
    // How long a receipt took at the printer, from the first byte sent to
    // its outcome.
    void ReceiptSeconds(const std::string& printer, double seconds);
    // The printer's counters were asked what became of an unfinished
    // request: "decided", "undecided" (they could not tell yet) or
    // "ledger_failed" (decided, but the ledger could not keep it).
    void Reconciled(const std::string& printer, const char* result);

    // --- read at each scrape ---

    // A printer's worker as it stands (PrinterWorker::Snapshot) and the
    // requests of the ledger that wait for a decision (-1: not known now).
    void SawPrinter(const std::string& printer, const nlohmann::json& snapshot, long undecided);
    // The ledger's file (with its write-ahead log) and whether new work is refused.
    void SawLedger(const std::string& path, bool degraded);
    // The text of GET /metrics, with the process's own figures.
    std::string Render();

private:
    metrics::Registry registry_;
    metrics::CounterFamily& receipts_;
    metrics::CounterFamily& operations_;
    metrics::CounterFamily& errors_;
    metrics::CounterFamily& reconciliations_;
    metrics::HistogramFamily& receiptSeconds_;
    metrics::HistogramFamily& statusSeconds_;
    metrics::GaugeFamily& queue_;
    metrics::GaugeFamily& capacity_;
    metrics::GaugeFamily& up_;
    metrics::GaugeFamily& paperOut_;
    metrics::GaugeFamily& lastCheck_;
    metrics::GaugeFamily& undecided_;
    metrics::GaugeFamily& ledgerBytes_;
    metrics::GaugeFamily& degraded_;
    metrics::GaugeFamily& build_;
    metrics::CounterFamily& cpu_;
    metrics::GaugeFamily& resident_;
    metrics::GaugeFamily& virtual_;
    metrics::GaugeFamily& openFds_;
    metrics::GaugeFamily& maxFds_;
    metrics::GaugeFamily& started_;
    // Whether each printer answered its last command, as its device saw
    // (the map is filled before the workers start).
    std::map<std::string, std::unique_ptr<std::atomic<bool>>> answering_;

    friend class MeteredDevice;
};

}  // namespace brenvikd
