#include "service/ledger.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>

namespace brenvikd {

const char kReceiptKind[] = "receipt";

namespace {

const char* const kStateNames[] = {"received", "started", "lines_sent", "closing", "closed", "failed", "unknown"};
constexpr int kStates = 7;

// The same words as IsFinal: every guard uses them.
#define BRENVIKD_UNFINISHED "state NOT IN ('closed', 'failed', 'unknown')"

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ReceiptState StateFromName(const std::string& name) {
    for (int i = 0; i < kStates; ++i) {
        if (name == kStateNames[i]) return static_cast<ReceiptState>(i);
    }
    // An unknown word means a newer service wrote the file: treat the entry
    // as unfinished, so that start-up reconciliation decides it.
    return ReceiptState::Closing;
}

// A damaged file stays damaged; a full disk or a file that cannot be
// written now may work again later.
bool Lasting(int code) {
    int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

[[noreturn]] void Throw(sqlite3* db, const std::string& path, int code) {
    std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    int primary = code & 0xff;
    int system = db ? sqlite3_system_errno(db) : 0;
    if (system != 0 && (primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN || primary == SQLITE_FULL)) {
        text += std::string(" (") + std::strerror(system) + ")";
    } else if (code == SQLITE_IOERR_WRITE) {
        // SQLite keeps no errno for a refused write.
        text += " (a write was refused: is the file read-only or immutable, or the disk failing?)";
    }
    throw LedgerError("the ledger " + path + ": " + text, Lasting(code));
}

// Statements are prepared once per connection and kept until it closes:
// with 64 printers, preparing cost more than running them. Kept reset, so
// none holds a read open. Every connection's calls are serialised by its
// ledger; this lock guards only the map between connections.
struct Prepared {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;
};
std::mutex preparedMutex;
std::map<sqlite3*, std::map<std::string, Prepared>> prepared;

// A kept statement of this connection, or nullptr while it is in use.
Prepared* Kept(sqlite3* db, const std::string& sql) {
    std::lock_guard<std::mutex> lock(preparedMutex);
    Prepared& p = prepared[db][sql];
    if (p.inUse) return nullptr;
    p.inUse = true;
    return &p;
}

void FinalizeKept(sqlite3* db) {
    std::lock_guard<std::mutex> lock(preparedMutex);
    auto it = prepared.find(db);
    if (it == prepared.end()) return;
    for (auto& entry : it->second) sqlite3_finalize(entry.second.stmt);
    prepared.erase(it);
}

// One prepared statement, reset (or finalized) on every path.
class Statement {
public:
    Statement(sqlite3* db, const std::string& path, const std::string& sql, int64_t* steps = nullptr)
        : db_(db), path_(path), steps_(steps), kept_(Kept(db, sql)) {
        if (kept_ && kept_->stmt) {
            stmt_ = kept_->stmt;
            return;
        }
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
        if (rc != SQLITE_OK) {
            Release();
            Throw(db_, path_, sqlite3_extended_errcode(db_));
        }
        if (kept_) kept_->stmt = stmt_;
    }
    ~Statement() {
        if (steps_) *steps_ = sqlite3_stmt_status(stmt_, SQLITE_STMTSTATUS_VM_STEP, 1);
        if (!kept_) {
            sqlite3_finalize(stmt_);
            return;
        }
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        Release();
    }
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
        if (rc != SQLITE_DONE) Throw(db_, path_, sqlite3_extended_errcode(db_));
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
        if (rc != SQLITE_OK) Throw(db_, path_, sqlite3_extended_errcode(db_));
    }
    void Release() {
        if (!kept_) return;
        std::lock_guard<std::mutex> lock(preparedMutex);
        kept_->inUse = false;
    }
    sqlite3* db_;
    const std::string& path_;
    int64_t* steps_;
    Prepared* kept_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A write of several statements: all of them or none.
class Transaction {
public:
    Transaction(sqlite3* db, const std::string& path) : db_(db), path_(path) {
        Statement(db_, path_, "BEGIN IMMEDIATE").Step();
    }
    ~Transaction() {
        // A failed write may have ended the transaction already.
        if (!done_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        Statement(db_, path_, "COMMIT").Step();
        done_ = true;
    }

private:
    sqlite3* db_;
    const std::string& path_;
    bool done_ = false;
};

const char kColumns[] =
    "request_id, kind, printer, body, state, start_check, counters, check_number, answer, http_status,"
    " created_ms, updated_ms";

LedgerEntry ReadEntry(const Statement& row) {
    LedgerEntry e;
    e.requestId = row.Text(0);
    e.kind = row.Text(1);
    e.printer = row.Text(2);
    e.body = row.Text(3);
    e.state = StateFromName(row.Text(4));
    e.startCheckNumber = row.MaybeInt(5);
    e.counters = row.Text(6);
    e.checkNumber = row.MaybeInt(7);
    e.answer = row.Text(8);
    e.httpStatus = static_cast<int>(row.Int(9));
    e.createdMs = row.Int(10);
    e.updatedMs = row.Int(11);
    return e;
}

std::vector<LedgerEntry> ReadAll(Statement& query) {
    std::vector<LedgerEntry> out;
    while (query.Step()) out.push_back(ReadEntry(query));
    return out;
}

std::string Select(const char* rest) { return std::string("SELECT ") + kColumns + " FROM receipts " + rest; }

}  // namespace

const char* StateName(ReceiptState state) { return kStateNames[static_cast<int>(state)]; }

bool IsFinal(ReceiptState state) {
    return state == ReceiptState::Closed || state == ReceiptState::Failed || state == ReceiptState::Unknown;
}

Ledger::Ledger(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

Ledger::~Ledger() {
    FinalizeKept(db_);
    sqlite3_close(db_);
}

void Ledger::Exec(const char* sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) Throw(db_, path_, sqlite3_extended_errcode(db_));
}

std::unique_ptr<Ledger> Ledger::Open(const std::string& path, std::string* error) {
    const bool memory = path == ":memory:";
    const bool existed = !memory && IdentityOf(path).has_value();
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = "cannot open the ledger " + path + ": " + sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Ledger> ledger(new Ledger(db, path));
    ledger->created_ = !existed;
    try {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, 5000);
        // A damaged page is found now, not by a worker in the middle of a day.
        {
            Statement check(db, path, "PRAGMA quick_check");
            std::string found;
            for (int rows = 0; check.Step() && rows < 3; ++rows) found += (found.empty() ? "" : "; ") + check.Text(0);
            if (found != "ok") throw LedgerError("the ledger " + path + ": " + found, true);
        }
        // Every state change is on disk before the printer is told anything.
        ledger->Exec("PRAGMA journal_mode=WAL");
        ledger->Exec("PRAGMA synchronous=FULL");
        ledger->Schema();
        if (sqlite3_db_readonly(db, "main") == 1) {
            throw LedgerError("the ledger " + path + " can only be read (a read-only or immutable file)", false);
        }
        ledger->Probe();
    } catch (const LedgerError& e) {
        if (error) {
            *error = e.what();
            if (e.lasting()) {
                *error += "\nThe ledger is damaged. Keep the file for inspection; start the service with a copy "
                          "restored from a backup, or move the file away to start with an empty ledger (then "
                          "repeated requestIds of earlier receipts print again).";
            }
        }
        return nullptr;
    }
    if (!memory) ledger->file_ = IdentityOf(path);
    return ledger;
}

void Ledger::Schema() {
    Exec("CREATE TABLE IF NOT EXISTS receipts ("
         " request_id TEXT PRIMARY KEY, printer TEXT NOT NULL, body TEXT NOT NULL,"
         " state TEXT NOT NULL, start_check INTEGER, check_number INTEGER,"
         " answer TEXT NOT NULL DEFAULT '', http_status INTEGER NOT NULL DEFAULT 0,"
         " created_ms INTEGER NOT NULL, updated_ms INTEGER NOT NULL,"
         " kind TEXT NOT NULL DEFAULT 'receipt', counters TEXT NOT NULL DEFAULT '')");
    // A ledger of an earlier version lacks the columns of reports and cash.
    std::set<std::string> columns;
    {
        Statement info(db_, path_, "PRAGMA table_info(receipts)");
        while (info.Step()) columns.insert(info.Text(1));
    }
    if (!columns.count("kind")) Exec("ALTER TABLE receipts ADD COLUMN kind TEXT NOT NULL DEFAULT 'receipt'");
    if (!columns.count("counters")) Exec("ALTER TABLE receipts ADD COLUMN counters TEXT NOT NULL DEFAULT ''");
    Exec("CREATE INDEX IF NOT EXISTS receipts_by_printer ON receipts(printer, created_ms)");
    // Only unfinished entries, those without an answer yet: a handful,
    // however long the ledger grows. A stage changes no column the index
    // looks at, so it costs no index write.
    Exec("CREATE INDEX IF NOT EXISTS receipts_unanswered ON receipts(printer, created_ms) WHERE http_status = 0");
    Exec("CREATE TABLE IF NOT EXISTS printers (printer TEXT PRIMARY KEY, serial TEXT NOT NULL,"
         " last_check INTEGER NOT NULL, updated_ms INTEGER NOT NULL)");
    Exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
    Exec("CREATE TABLE IF NOT EXISTS mqtt_inbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL,"
         " payload TEXT NOT NULL, created_ms INTEGER NOT NULL)");
    Exec("CREATE TABLE IF NOT EXISTS mqtt_outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL,"
         " payload TEXT NOT NULL, created_ms INTEGER NOT NULL)");
}

void Ledger::Durable(bool full) {
    if (full == full_) return;
    Exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    full_ = full;
}

void Ledger::Writing(const char* write) {
    if (!db_) throw LedgerError("the ledger " + path_ + " is closed", true);
    if (failing_ && failing_(write)) throw LedgerError("the ledger " + path_ + ": database or disk is full", false);
}

void Ledger::FailWritesForTests(std::function<bool(const char*)> failing) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = std::move(failing);
}

bool Ledger::Claim(const std::string& kind, const std::string& printer, const std::string& requestId,
                   const std::string& body, LedgerEntry* existing) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("claim");
    Durable(false);  // nothing is sent yet: a lost claim is a request never answered
    int64_t now = NowMs();
    Statement(db_, path_,
              "INSERT OR IGNORE INTO receipts (request_id, kind, printer, body, state, created_ms, updated_ms)"
              " VALUES (?, ?, ?, ?, 'received', ?, ?)")
        .Bind(1, requestId)
        .Bind(2, kind)
        .Bind(3, printer)
        .Bind(4, body)
        .Bind(5, now)
        .Bind(6, now)
        .Step();
    if (sqlite3_changes(db_) == 1) return true;
    Statement query(db_, path_, Select("WHERE request_id = ?"));
    query.Bind(1, requestId);
    if (query.Step() && existing) *existing = ReadEntry(query);
    return false;
}

void Ledger::Forget(const std::string& requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("forget");
    Durable(false);
    Statement(db_, path_, "DELETE FROM receipts WHERE request_id = ? AND state = 'received'")
        .Bind(1, requestId)
        .Step();
}

bool Ledger::MarkStarted(const std::string& requestId, std::optional<long> lastCheckNumber,
                         const std::string& counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("started");
    Durable(true);  // on disk before the printer hears anything
    Statement(db_, path_,
              "UPDATE receipts SET state = 'started', start_check = ?, counters = ?, updated_ms = ?"
              " WHERE request_id = ? AND state = 'received'")
        .Bind(1, lastCheckNumber)
        .Bind(2, counters)
        .Bind(3, NowMs())
        .Bind(4, requestId)
        .Step();
    return sqlite3_changes(db_) == 1;
}

bool Ledger::MarkState(const std::string& requestId, ReceiptState state) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("stage");
    Durable(false);
    Statement(db_, path_,
              "UPDATE receipts SET state = ?, updated_ms = ? WHERE request_id = ? AND " BRENVIKD_UNFINISHED)
        .Bind(1, std::string(StateName(state)))
        .Bind(2, NowMs())
        .Bind(3, requestId)
        .Step();
    return sqlite3_changes(db_) == 1;
}

bool Ledger::Finish(const std::string& requestId, ReceiptState state, std::optional<long> checkNumber,
                    const std::string& answer, int httpStatus) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("finish");
    // Lost in a crash, the entry is decided again from the printer's
    // counters, with the same outcome; the next start flushes it.
    Durable(false);
    Transaction transaction(db_, path_);
    Statement(db_, path_,
              "UPDATE receipts SET state = ?, check_number = ?, answer = ?, http_status = ?, updated_ms = ?"
              " WHERE request_id = ? AND " BRENVIKD_UNFINISHED)
        .Bind(1, std::string(StateName(state)))
        .Bind(2, checkNumber)
        .Bind(3, answer)
        .Bind(4, static_cast<int64_t>(httpStatus))
        .Bind(5, NowMs())
        .Bind(6, requestId)
        .Step();
    if (sqlite3_changes(db_) != 1) return false;  // final already: the transaction rolls back
    if (state == ReceiptState::Closed && checkNumber) {
        Statement(db_, path_,
                  "UPDATE printers SET last_check = ?1, updated_ms = ?2"
                  " WHERE printer = (SELECT printer FROM receipts WHERE request_id = ?3) AND last_check < ?1")
            .Bind(1, checkNumber)
            .Bind(2, NowMs())
            .Bind(3, requestId)
            .Step();
    }
    transaction.Commit();
    return true;
}

std::optional<LedgerEntry> Ledger::Find(const std::string& requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_, Select("WHERE request_id = ?"));
    query.Bind(1, requestId);
    if (!query.Step()) return std::nullopt;
    return ReadEntry(query);
}

std::vector<LedgerEntry> Ledger::InProgress(const std::string& printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_,
                    Select("INDEXED BY receipts_unanswered WHERE printer = ? AND http_status = 0"
                           " AND " BRENVIKD_UNFINISHED " ORDER BY created_ms, rowid"),
                    &lastSteps_);
    query.Bind(1, printer);
    return ReadAll(query);
}

std::vector<LedgerEntry> Ledger::Recent(const std::string& printer, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_,
                    Select("WHERE printer = ? AND kind = 'receipt' ORDER BY created_ms DESC, rowid DESC LIMIT ?"));
    query.Bind(1, printer).Bind(2, static_cast<int64_t>(count));
    return ReadAll(query);
}

std::vector<LedgerEntry> Ledger::All() {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_, Select("ORDER BY created_ms, rowid"));
    return ReadAll(query);
}

bool Ledger::HasEntries(const std::string& printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_, "SELECT 1 FROM receipts WHERE printer = ? LIMIT 1");
    query.Bind(1, printer);
    return query.Step();
}

std::optional<PrinterRecord> Ledger::Printer(const std::string& printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_, "SELECT serial, last_check FROM printers WHERE printer = ?");
    query.Bind(1, printer);
    if (!query.Step()) return std::nullopt;
    return PrinterRecord{query.Text(0), static_cast<long>(query.Int(1))};
}

void Ledger::RecordPrinter(const std::string& printer, const PrinterRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("printer");
    Durable(false);
    Statement(db_, path_,
              "INSERT OR REPLACE INTO printers (printer, serial, last_check, updated_ms) VALUES (?, ?, ?, ?)")
        .Bind(1, printer)
        .Bind(2, record.serialNumber)
        .Bind(3, static_cast<int64_t>(record.lastCheckNumber))
        .Bind(4, NowMs())
        .Step();
}

int64_t Ledger::Take(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("take");
    Durable(true);  // the broker forgets the message once it is acknowledged
    Statement(db_, path_, "INSERT INTO mqtt_inbox (topic, payload, created_ms) VALUES (?, ?, ?)")
        .Bind(1, topic)
        .Bind(2, payload)
        .Bind(3, NowMs())
        .Step();
    return sqlite3_last_insert_rowid(db_);
}

int64_t Ledger::Answer(int64_t inboxSeq, const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("answer");
    // Lost in a crash, the message is still in the inbox and answered again.
    Durable(false);
    Transaction transaction(db_, path_);
    Statement(db_, path_, "INSERT INTO mqtt_outbox (topic, payload, created_ms) VALUES (?, ?, ?)")
        .Bind(1, topic)
        .Bind(2, payload)
        .Bind(3, NowMs())
        .Step();
    const int64_t seq = sqlite3_last_insert_rowid(db_);
    if (inboxSeq != 0) Statement(db_, path_, "DELETE FROM mqtt_inbox WHERE seq = ?").Bind(1, inboxSeq).Step();
    transaction.Commit();
    return seq;
}

void Ledger::Delivered(int64_t outboxSeq) {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("delivered");
    Durable(false);  // lost, the answer is only sent once more
    Statement(db_, path_, "DELETE FROM mqtt_outbox WHERE seq = ?").Bind(1, outboxSeq).Step();
}

namespace {
std::vector<QueuedMessage> ReadMessages(Statement& query) {
    std::vector<QueuedMessage> out;
    while (query.Step()) out.push_back({query.Int(0), query.Text(1), query.Text(2)});
    return out;
}
}  // namespace

std::vector<QueuedMessage> Ledger::Inbox() {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_, "SELECT seq, topic, payload FROM mqtt_inbox ORDER BY seq");
    return ReadMessages(query);
}

std::vector<QueuedMessage> Ledger::Outbox() {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("");
    Statement query(db_, path_, "SELECT seq, topic, payload FROM mqtt_outbox ORDER BY seq");
    return ReadMessages(query);
}

void Ledger::CheckFile() {
    // file_ is set once, before anyone else can call: no lock, so an HTTP
    // thread never waits behind a worker's write to look.
    if (!file_) return;
    std::optional<FileIdentity> now = IdentityOf(path_);
    if (!now) throw LedgerError("the ledger file " + path_ + " was deleted while the service ran", true);
    if (*now != *file_) {
        throw LedgerError("the ledger file " + path_ + " was replaced by another file while the service ran", true);
    }
}

void Ledger::Probe() {
    std::lock_guard<std::mutex> lock(mutex_);
    Writing("probe");
    Durable(true);
    Statement(db_, path_, "INSERT OR REPLACE INTO meta (key, value) VALUES ('written_ms', ?)")
        .Bind(1, std::to_string(NowMs()))
        .Step();
}

void Ledger::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return;
    FinalizeKept(db_);
    sqlite3_close(db_);
    db_ = nullptr;
}

}  // namespace brenvikd
