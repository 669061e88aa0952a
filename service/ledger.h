// The ledger: every receipt the service was asked to print, and every report
// or cash movement asked with a requestId, in one SQLite file (WAL), so that
// a restart knows which were under way and a repeated request id gets its
// first answer back.
//
// One write is on disk (synchronous=FULL) before it returns: MarkStarted,
// since the printer hears of the request only after it. The others are
// flushed by the next such write; a crash that loses them loses nothing the
// start-up reconciliation cannot find again from the printer.
//
// Every call may throw LedgerError (a full disk, a file that cannot be
// written, a damaged one); nothing else leaves it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/file_identity.h"

struct sqlite3;

namespace brenvikd {

// received -> started (the counters before it are stored) -> lines_sent ->
// closing -> closed | failed | unknown. Only the last three are final:
// unknown is an outcome nothing the printer reports can tell.
enum class ReceiptState { Received, Started, LinesSent, Closing, Closed, Failed, Unknown };

const char* StateName(ReceiptState state);
bool IsFinal(ReceiptState state);

// What an entry is: "receipt", "x-report", "z-report" or "cash".
extern const char kReceiptKind[];

struct LedgerEntry {
    std::string requestId;
    std::string kind = kReceiptKind;
    std::string printer;
    std::string body;                      // canonical JSON of the request
    ReceiptState state = ReceiptState::Received;
    std::optional<long> startCheckNumber;  // last check number before anything was sent
    std::string counters;                  // JSON: what a report or cash movement moves, read before it
    std::optional<long> checkNumber;       // the check that closed it
    std::string answer;                    // stored JSON answer, once final
    int httpStatus = 0;                    // stored HTTP status, once final
    int64_t createdMs = 0;                 // Unix time, milliseconds
    int64_t updatedMs = 0;
};

// What the ledger knows of the printer it was kept beside.
struct PrinterRecord {
    std::string serialNumber;
    long lastCheckNumber = 0;
};

// A message of the MQTT connector's: one taken from the broker and not yet
// answered (its inbox), or an answer the broker has not acknowledged yet
// (its outbox).
struct QueuedMessage {
    int64_t seq = 0;
    std::string topic;
    std::string payload;
};

class LedgerError : public std::runtime_error {
public:
    LedgerError(const std::string& message, bool lasting) : std::runtime_error(message), lasting_(lasting) {}
    // True when it stays until the service is restarted: the file is damaged,
    // deleted or replaced. Otherwise (a full disk, a file that cannot be
    // written now) a later write may work again.
    bool lasting() const { return lasting_; }

private:
    bool lasting_;
};

class Ledger {
public:
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // Opens or creates the file and checks it whole (quick_check): nullptr
    // with *error for a file that is damaged, is no ledger, or cannot be
    // written.
    static std::unique_ptr<Ledger> Open(const std::string& path, std::string* error);
    const std::string& path() const { return path_; }
    // True when this Open made the file.
    bool created() const { return created_; }

    // Records a new entry as received and returns true; when the request id
    // is known already, returns false and fills *existing instead.
    bool Claim(const std::string& kind, const std::string& printer, const std::string& requestId,
               const std::string& body, LedgerEntry* existing);
    // Forgets an entry that never reached the printer.
    void Forget(const std::string& requestId);

    // received -> started, on disk before it returns; false (nothing
    // written) when the entry is no longer received.
    bool MarkStarted(const std::string& requestId, std::optional<long> lastCheckNumber,
                     const std::string& counters = "");
    // A later stage; false when the entry is final already.
    bool MarkState(const std::string& requestId, ReceiptState state);
    // The final state and answer; false when the entry was final already
    // (then nothing is written). A closed receipt's check number becomes
    // the printer's last known one.
    bool Finish(const std::string& requestId, ReceiptState state, std::optional<long> checkNumber,
                const std::string& answer, int httpStatus);

    std::optional<LedgerEntry> Find(const std::string& requestId);
    // Entries of a printer not yet final, oldest first; an index holds only
    // these, so the cost does not grow with the ledger.
    std::vector<LedgerEntry> InProgress(const std::string& printer);
    // The last `count` receipts of a printer, newest first.
    std::vector<LedgerEntry> Recent(const std::string& printer, int count);
    // Every entry, oldest first (the torture test compares them all).
    std::vector<LedgerEntry> All();
    bool HasEntries(const std::string& printer);

    std::optional<PrinterRecord> Printer(const std::string& printer);
    void RecordPrinter(const std::string& printer, const PrinterRecord& record);

    // The MQTT connector's inbox and outbox. A message taken is on disk
    // before Take returns (the broker is acknowledged after it); answering
    // one moves it from the inbox to the outbox in one step (seq 0: no
    // inbox entry); Delivered forgets an answer the broker acknowledged.
    int64_t Take(const std::string& topic, const std::string& payload);
    int64_t Answer(int64_t inboxSeq, const std::string& topic, const std::string& payload);
    void Delivered(int64_t outboxSeq);
    std::vector<QueuedMessage> Inbox();
    std::vector<QueuedMessage> Outbox();

    // Throws a lasting LedgerError when the path no longer names the file
    // that is open (deleted, or another file put in its place).
    void CheckFile();
    // A small write on disk: throws when the ledger cannot be written.
    void Probe();
    // Closes the file between two statements; every later call throws.
    void Close();

    // Tests only: a write named "claim", "forget", "started", "stage",
    // "finish", "printer", "probe", "take", "answer" or "delivered" for
    // which this answers true fails as
    // a full disk would.
    void FailWritesForTests(std::function<bool(const char* write)> failing);
    // The virtual machine steps of the last query: what finding unfinished
    // entries costs, in a unit that does not depend on the machine.
    int64_t LastQuerySteps() const { return lastSteps_; }

private:
    Ledger(sqlite3* db, std::string path);
    void Exec(const char* sql);
    void Durable(bool full);  // synchronous=FULL or NORMAL for what follows
    void Writing(const char* write);  // the test seam, and a closed ledger
    void Schema();

    std::mutex mutex_;  // one statement at a time: HTTP threads and workers share it
    sqlite3* db_;
    const std::string path_;
    bool created_ = false;
    bool full_ = true;
    std::optional<FileIdentity> file_;
    std::function<bool(const char*)> failing_;
    int64_t lastSteps_ = 0;
};

}  // namespace brenvikd
