// Exactly once: every receipt is in the ledger before the printer hears of
// it, each stage is written down as it happens, and a receipt whose outcome
// was lost is decided by the printer's document numbers, never by guessing.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "service/device.h"
#include "service/ledger.h"

namespace brenvikd {

struct Answer {
    int status = 200;
    json body;
};

// The one JSON shape of every error answer.
json ErrorBody(int status, const std::string& message, const DeviceError& printer = {},
               const std::string& path = "");

class ReceiptBook {
public:
    explicit ReceiptBook(Ledger& ledger) : ledger_(ledger) {}

    // A receipt queued or running in this process is active: the
    // reconciliation leaves it alone.
    void SetActive(const std::string& requestId, bool active);

    // Decides every unfinished receipt of the printer that is not active:
    // check number advanced -> closed with it; otherwise the open check is
    // cancelled and the receipt failed. False while the printer cannot tell.
    bool Reconcile(const std::string& printer, Device& device);

    // Prints a claimed receipt on the worker thread and records its outcome.
    Answer Print(const std::string& printer, const std::string& requestId, const std::string& body,
                 Device& device);

    // The stored answer of a finished receipt.
    static Answer Stored(const LedgerEntry& entry);

private:
    bool Decide(const LedgerEntry& entry, Device& device, const DeviceError& cause, Answer* answer);

    Ledger& ledger_;
    std::mutex mutex_;
    std::set<std::string> active_;
};

}  // namespace brenvikd
