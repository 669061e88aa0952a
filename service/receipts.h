// Exactly once: every receipt (and every report or cash movement asked with
// a requestId) is in the ledger before the printer hears of it, each stage
// is written down as it happens, and one whose outcome was lost is decided
// by the printer's counters, never by guessing.
//
// The book is the one owner of an entry's lifecycle: claimed and active in
// one step, started, finished, or decided by the reconciliation when no job
// holds it. A ledger that fails makes the book degraded: new work is
// refused with the cause, what the printer did is decided by the next
// reconciliation, and the book tries the ledger again until it works.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "service/device.h"
#include "service/ledger.h"
#include "service/metrics_service.h"
#include "service/operations.h"
#include "service/tasks.h"
#include "service/worker.h"

namespace brenvikd {

// What a route answers: now, or once its task is done.
struct Reply {
    using Headers = std::vector<std::pair<std::string, std::string>>;
    Reply(int status_, json body_, Headers headers_ = {})
        : status(status_), body(std::move(body_)), headers(std::move(headers_)) {}
    explicit Reply(std::shared_ptr<Task> task_) : task(std::move(task_)) {}

    int status = 0;
    json body;
    Headers headers;
    std::shared_ptr<Task> task;  // set: wait for the task instead
};

class ReceiptBook {
public:
    // metrics: told every outcome and reconciliation; may be nullptr.
    explicit ReceiptBook(Ledger& ledger, ServiceMetrics* metrics = nullptr) : ledger_(ledger), metrics_(metrics) {}

    // --- HTTP threads ---

    // Claims the request id and queues the request on the printer's worker
    // as one step. kind: kReceiptKind or an Action's; canonical: the
    // request as the ledger keeps it. A known id answers from the ledger
    // (409 when it was used for another request).
    Reply Submit(PrinterWorker& worker, TaskTable& tasks, const std::string& kind, const std::string& requestId,
                 const std::string& canonical);
    // The cause while new work is refused; nothing while the ledger works.
    // Checks that the ledger file is still the one open, and tries a
    // failed ledger again.
    std::optional<std::string> Degraded();
    // The 503 that new work gets while the service is degraded.
    std::optional<Reply> Refusal();
    // {"state": "ok" | "degraded", "cause", "warnings"} for a printer's status.
    json Health(const std::string& printer);
    // The printer's unfinished entries that no job holds: what waits for
    // the reconciliation. -1 when the ledger cannot tell now.
    long Undecided(const std::string& printer);

    // --- the steps of Submit, for its job and the tests ---

    enum class Claimed { New, Existing, Failed };
    // New: recorded as received and active, both at once as the
    // reconciliation sees it. Existing fills *existing; Failed *cause.
    Claimed Claim(const std::string& kind, const std::string& printer, const std::string& requestId,
                  const std::string& body, LedgerEntry* existing, std::string* cause);
    // The entry never reached the printer: its id is free again (once the
    // ledger can be written).
    void Abandon(const std::string& requestId);
    // Its job ended: the reconciliation may decide it from now on.
    void Release(const std::string& requestId);

    // --- the printer's worker thread ---

    // Before every job and on the idle refresh: the ledger looked at, the
    // printer identified after the line was opened, and every unfinished
    // entry that no job holds decided.
    Readiness Prepare(const std::string& printer, Device& device, bool connected);
    // Prepare without identifying: true when everything is decided.
    bool Reconcile(const std::string& printer, Device& device) { return Prepare(printer, device, false).ready; }
    // Prints a claimed receipt and records its outcome. A printed receipt
    // is answered as printed whatever the ledger does.
    Answer Print(const std::string& printer, const std::string& requestId, const std::string& body,
                 Device& device);
    // The same for a claimed report or cash movement.
    Answer Perform(const std::string& printer, const std::string& requestId, const Action& op, Device& device);

    // The stored answer of a finished entry.
    static Answer Stored(const LedgerEntry& entry);

    // Tests: runs inside Claim right after the ledger recorded the entry.
    std::function<void(const std::string& requestId)> claimedForTests;

private:
    enum class Decided { Yes, PrinterCannotTell, LedgerFailed };
    Decided Decide(const LedgerEntry& entry, Device& device, const DeviceError& cause, Answer* answer);
    Decided DecideReceipt(const LedgerEntry& entry, Device& device, const DeviceError& cause, Answer* answer);
    Decided DecideOperation(const LedgerEntry& entry, Device& device, const DeviceError& cause, Answer* answer);
    bool Record(const LedgerEntry& entry, ReceiptState state, std::optional<long> checkNumber,
                const Answer& answer);
    void Stage(const std::string& requestId, ReceiptState state);
    Answer Settled(const std::string& requestId);
    Reply Repeated(const LedgerEntry& existing, const std::string& kind, const std::string& printer,
                   const std::string& canonical);
    Readiness Identify(const std::string& printer, Device& device);
    Readiness ReconcileAll(const std::string& printer, Device& device);
    void Track(const std::string& printer, Device& device);
    void Warn(const std::string& printer, const std::string& warning);
    void Fail(const LedgerError& error);
    Readiness LedgerUnusable() const;

    Ledger& ledger_;
    ServiceMetrics* const metrics_;

    std::mutex mutex_;  // active_ and forget_
    std::set<std::string> active_;
    std::set<std::string> forget_;  // abandoned while the ledger could not forget them

    std::mutex submitMutex_;  // a request id is claimed and queued as one step
    std::map<std::string, std::shared_ptr<Task>> running_;

    mutable std::mutex healthMutex_;
    std::optional<std::string> cause_;
    bool lasting_ = false;
    std::map<std::string, std::vector<std::string>> warnings_;

    // What each printer said when its line was opened (worker threads only,
    // each its own entry).
    struct Seen {
        std::string serialNumber;
        long lastCheckNumber = 0;
        bool compare = false;  // not yet compared with the ledger's record
        long recorded = 0;     // the last check number the ledger holds
    };
    std::mutex seenMutex_;
    std::map<std::string, Seen> seen_;
};

}  // namespace brenvikd
