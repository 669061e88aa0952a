#include "service/ledger.h"

#include <sqlite3.h>

#include <chrono>
#include <stdexcept>

namespace brenvikd {
namespace {

const char* const kStateNames[] = {"received", "started", "lines_sent", "closing", "closed", "failed"};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ReceiptState StateFromName(const std::string& name) {
    for (int i = 0; i < 6; ++i) {
        if (name == kStateNames[i]) return static_cast<ReceiptState>(i);
    }
    // An unknown word means a newer service wrote the file: treat the receipt
    // as unfinished, so that start-up reconciliation decides it.
    return ReceiptState::Closing;
}

// One prepared statement, finalized on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail();
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, const std::string& text) {
        Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& Bind(int index, int64_t value) {
        Check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& Bind(int index, std::optional<long> value) {
        Check(value ? sqlite3_bind_int64(stmt_, index, *value) : sqlite3_bind_null(stmt_, index));
        return *this;
    }
    // True while there is a row; throws on an error.
    bool Step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail();
        return false;
    }
    std::string Text(int column) const {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::optional<long> MaybeInt(int column) const {
        if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
        return static_cast<long>(sqlite3_column_int64(stmt_, column));
    }

private:
    void Check(int rc) {
        if (rc != SQLITE_OK) Fail();
    }
    [[noreturn]] void Fail() { throw std::runtime_error(std::string("ledger: ") + sqlite3_errmsg(db_)); }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

const char kColumns[] =
    "request_id, printer, body, state, start_check, check_number, answer, http_status, created_ms, updated_ms";

LedgerEntry ReadEntry(const Statement& row) {
    LedgerEntry e;
    e.requestId = row.Text(0);
    e.printer = row.Text(1);
    e.body = row.Text(2);
    e.state = StateFromName(row.Text(3));
    e.startCheckNumber = row.MaybeInt(4);
    e.checkNumber = row.MaybeInt(5);
    e.answer = row.Text(6);
    e.httpStatus = static_cast<int>(row.Int(7));
    e.createdMs = row.Int(8);
    e.updatedMs = row.Int(9);
    return e;
}

std::vector<LedgerEntry> ReadAll(Statement& query) {
    std::vector<LedgerEntry> out;
    while (query.Step()) out.push_back(ReadEntry(query));
    return out;
}

}  // namespace

const char* StateName(ReceiptState state) { return kStateNames[static_cast<int>(state)]; }

bool IsFinal(ReceiptState state) { return state == ReceiptState::Closed || state == ReceiptState::Failed; }

Ledger::Ledger(sqlite3* db) : db_(db) {}

Ledger::~Ledger() { sqlite3_close(db_); }

void Ledger::Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error("ledger: " + text);
    }
}

std::unique_ptr<Ledger> Ledger::Open(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = std::string("cannot open the ledger ") + path + ": " + sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Ledger> ledger(new Ledger(db));
    try {
        sqlite3_busy_timeout(db, 5000);
        // Every state change is on disk before the printer is told anything.
        ledger->Exec("PRAGMA journal_mode=WAL");
        ledger->Exec("PRAGMA synchronous=FULL");
        ledger->Exec(
            "CREATE TABLE IF NOT EXISTS receipts ("
            " request_id TEXT PRIMARY KEY, printer TEXT NOT NULL, body TEXT NOT NULL,"
            " state TEXT NOT NULL, start_check INTEGER, check_number INTEGER,"
            " answer TEXT NOT NULL DEFAULT '', http_status INTEGER NOT NULL DEFAULT 0,"
            " created_ms INTEGER NOT NULL, updated_ms INTEGER NOT NULL)");
        ledger->Exec("CREATE INDEX IF NOT EXISTS receipts_by_printer ON receipts(printer, created_ms)");
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return nullptr;
    }
    return ledger;
}

void Ledger::Durable(bool full) {
    if (full == full_) return;
    Exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    full_ = full;
}

bool Ledger::Claim(const std::string& printer, const std::string& requestId, const std::string& body,
                   LedgerEntry* existing) {
    std::lock_guard<std::mutex> lock(mutex_);
    Durable(false);  // nothing is sent yet: a lost claim is a request never answered
    int64_t now = NowMs();
    Statement insert(db_,
                     "INSERT OR IGNORE INTO receipts (request_id, printer, body, state, created_ms, updated_ms)"
                     " VALUES (?, ?, ?, 'received', ?, ?)");
    insert.Bind(1, requestId).Bind(2, printer).Bind(3, body).Bind(4, now).Bind(5, now).Step();
    if (sqlite3_changes(db_) == 1) return true;
    Statement query(db_, (std::string("SELECT ") + kColumns + " FROM receipts WHERE request_id = ?").c_str());
    query.Bind(1, requestId);
    if (query.Step() && existing) *existing = ReadEntry(query);
    return false;
}

void Ledger::Forget(const std::string& requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Durable(false);
    Statement(db_, "DELETE FROM receipts WHERE request_id = ? AND state = 'received'").Bind(1, requestId).Step();
}

void Ledger::MarkStarted(const std::string& requestId, long lastCheckNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    Durable(true);  // on disk before the printer hears anything
    Statement(db_, "UPDATE receipts SET state = 'started', start_check = ?, updated_ms = ? WHERE request_id = ?")
        .Bind(1, std::optional<long>(lastCheckNumber))
        .Bind(2, NowMs())
        .Bind(3, requestId)
        .Step();
}

void Ledger::MarkState(const std::string& requestId, ReceiptState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    Durable(false);
    Statement(db_, "UPDATE receipts SET state = ?, updated_ms = ? WHERE request_id = ?")
        .Bind(1, std::string(StateName(state)))
        .Bind(2, NowMs())
        .Bind(3, requestId)
        .Step();
}

void Ledger::Finish(const std::string& requestId, ReceiptState state, std::optional<long> checkNumber,
                    const std::string& answer, int httpStatus) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Lost in a crash, the receipt is decided again from the printer's
    // check number, with the same outcome; the next start flushes it.
    Durable(false);
    Statement(db_,
              "UPDATE receipts SET state = ?, check_number = ?, answer = ?, http_status = ?, updated_ms = ?"
              " WHERE request_id = ?")
        .Bind(1, std::string(StateName(state)))
        .Bind(2, checkNumber)
        .Bind(3, answer)
        .Bind(4, static_cast<int64_t>(httpStatus))
        .Bind(5, NowMs())
        .Bind(6, requestId)
        .Step();
}

std::optional<LedgerEntry> Ledger::Find(const std::string& requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement query(db_, (std::string("SELECT ") + kColumns + " FROM receipts WHERE request_id = ?").c_str());
    query.Bind(1, requestId);
    if (!query.Step()) return std::nullopt;
    return ReadEntry(query);
}

std::vector<LedgerEntry> Ledger::InProgress(const std::string& printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement query(db_, (std::string("SELECT ") + kColumns +
                          " FROM receipts WHERE printer = ? AND state NOT IN ('closed', 'failed')"
                          " ORDER BY created_ms, rowid")
                             .c_str());
    query.Bind(1, printer);
    return ReadAll(query);
}

std::vector<LedgerEntry> Ledger::Recent(const std::string& printer, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement query(db_, (std::string("SELECT ") + kColumns +
                          " FROM receipts WHERE printer = ? ORDER BY created_ms DESC, rowid DESC LIMIT ?")
                             .c_str());
    query.Bind(1, printer).Bind(2, static_cast<int64_t>(count));
    return ReadAll(query);
}

std::vector<LedgerEntry> Ledger::All() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement query(db_, (std::string("SELECT ") + kColumns + " FROM receipts ORDER BY created_ms, rowid").c_str());
    return ReadAll(query);
}

}  // namespace brenvikd
