// The ledger: every receipt the service was asked to print, in one SQLite
// file (WAL), so that a restart knows which receipts were under way and a
// repeated request id gets its first answer back.
//
// One write is on disk (synchronous=FULL) before it returns: MarkStarted,
// since the printer hears of the receipt only after it. The others are
// flushed by the next such write; a crash that loses them loses nothing the
// start-up reconciliation cannot find again from the printer.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace brenvikd {

// received -> started (the last check number before it is stored) ->
// lines_sent -> closing -> closed | failed. Only closed and failed are final.
enum class ReceiptState { Received, Started, LinesSent, Closing, Closed, Failed };

const char* StateName(ReceiptState state);
bool IsFinal(ReceiptState state);

struct LedgerEntry {
    std::string requestId;
    std::string printer;
    std::string body;                      // canonical JSON of the receipt
    ReceiptState state = ReceiptState::Received;
    std::optional<long> startCheckNumber;  // last check number before anything was sent
    std::optional<long> checkNumber;       // the check that closed it
    std::string answer;                    // stored JSON answer, once final
    int httpStatus = 0;                    // stored HTTP status, once final
    int64_t createdMs = 0;                 // Unix time, milliseconds
    int64_t updatedMs = 0;
};

class Ledger {
public:
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // Opens or creates the file; nullptr with *error on failure.
    static std::unique_ptr<Ledger> Open(const std::string& path, std::string* error);

    // Records a new receipt as received and returns true; when the request id
    // is known already, returns false and fills *existing instead.
    bool Claim(const std::string& printer, const std::string& requestId,
               const std::string& body, LedgerEntry* existing);
    // Forgets a receipt that never reached the printer (its queue was full).
    void Forget(const std::string& requestId);

    void MarkStarted(const std::string& requestId, long lastCheckNumber);
    void MarkState(const std::string& requestId, ReceiptState state);
    void Finish(const std::string& requestId, ReceiptState state,
                std::optional<long> checkNumber, const std::string& answer, int httpStatus);

    std::optional<LedgerEntry> Find(const std::string& requestId);
    // Receipts of a printer not yet closed or failed, oldest first.
    std::vector<LedgerEntry> InProgress(const std::string& printer);
    // The last `count` receipts of a printer, newest first.
    std::vector<LedgerEntry> Recent(const std::string& printer, int count);
    // Every receipt, oldest first (the torture test compares them all).
    std::vector<LedgerEntry> All();

private:
    explicit Ledger(sqlite3* db);
    void Exec(const char* sql);
    void Durable(bool full);  // synchronous=FULL or NORMAL for what follows
    std::mutex mutex_;  // one statement at a time: HTTP threads and workers share it
    sqlite3* db_;
    bool full_ = true;
};

}  // namespace brenvikd
