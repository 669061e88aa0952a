#include "service/receipts.h"

#include <brenvik/brenvik.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace brenvikd {
namespace {

json Head(const std::string& printer, const std::string& requestId, const char* state) {
    return {{"requestId", requestId}, {"printer", printer}, {"state", state}};
}

// Adds what `details` holds and `body` does not.
void Merge(json& body, const json& details) {
    if (!details.is_object()) return;
    for (auto& item : details.items()) {
        if (!body.contains(item.key())) body[item.key()] = item.value();
    }
}

Answer Closed(const std::string& printer, const std::string& requestId, long checkNumber, const json& details) {
    json body = Head(printer, requestId, "closed");
    body["checkNumber"] = checkNumber;
    Merge(body, details);
    return {200, body};
}

// Where a failed receipt went wrong: "failedPath" of the printer's
// details, as the error's JSON Pointer ("" when none); it is not repeated
// beside it.
std::string FailedPath(json& details) {
    if (!details.is_object()) return "";
    const std::string path = TextIn(details, "failedPath");
    details.erase("failedPath");
    return path;
}

// A document the connected printer cannot take (a text over its limits, a
// tax group it has not programmed): refused like any invalid one, since
// nothing was sent. Every problem the printer finds is listed.
Answer Invalid(const std::string& printer, const std::string& requestId, const DeviceError& error,
               json details) {
    const std::string path = FailedPath(details);
    const json problems = details.is_object() && details.contains("errors") ? details["errors"] : json();
    json body = ErrorBody(400, error.message.empty() ? "the printer cannot take this receipt" : error.message, error,
                          path.c_str(), problems);
    body.update(Head(printer, requestId, "failed"));
    return {400, body};
}

// The printer refused or the check was cancelled: a retry is safe.
Answer Failed(const std::string& printer, const std::string& requestId, const DeviceError& error, json details) {
    const std::string path = FailedPath(details);
    json body = ErrorBody(422, error.message.empty() ? "the receipt was not printed" : error.message, error,
                          path.empty() ? nullptr : path.c_str());
    body.update(Head(printer, requestId, "failed"));
    body["cancelled"] = true;
    Merge(body, details);
    return {422, body};
}

json OperationHead(const std::string& printer, const std::string& requestId, const Action& op, const char* state) {
    json head = Head(printer, requestId, state);
    head["operation"] = op.kind;
    return head;
}

Answer OperationDone(const std::string& printer, const std::string& requestId, const Action& op,
                     const json& details, bool reconciled) {
    json body = OperationHead(printer, requestId, op, "done");
    Merge(body, details);
    Merge(body, op.DoneBody());
    body["outcome"] = "done";
    if (reconciled) body["reconciled"] = true;
    return {200, body};
}

Answer OperationNotDone(const std::string& printer, const std::string& requestId, const Action& op,
                        const DeviceError& error, bool reconciled) {
    json body = ErrorBody(422, error.message.empty() ? op.Name() + " was not done" : error.message, error);
    body.update(OperationHead(printer, requestId, op, "failed"));
    Merge(body, op.DoneBody());
    body["outcome"] = "not-done";
    if (reconciled) body["reconciled"] = true;
    return {422, body};
}

// Final: nothing the printer reports can tell, and waiting would block the
// printer for ever.
Answer OperationUnknown(const std::string& printer, const std::string& requestId, const Action& op,
                        const std::string& why, const DeviceError& error) {
    json body = ErrorBody(504,
                          "whether " + op.Name() + " was done cannot be told: " + why +
                              ". Look at the printer before doing it again; this requestId keeps this answer",
                          error);
    body.update(OperationHead(printer, requestId, op, "unknown"));
    Merge(body, op.DoneBody());
    body["outcome"] = "unknown";
    return {504, body};
}

Answer Unavailable(const std::string& message) {
    return {503, ErrorBody(503, message)};
}

// How a final state is counted: a reconciled answer says so itself.
Outcome Told(ReceiptState state, bool reconciled) {
    if (state == ReceiptState::Closed) return reconciled ? Outcome::ReconciledDone : Outcome::Done;
    if (state == ReceiptState::Failed) return reconciled ? Outcome::ReconciledFailed : Outcome::Failed;
    return Outcome::Unknown;
}

}  // namespace

// --- health ---

void ReceiptBook::Fail(const LedgerError& error) {
    std::lock_guard<std::mutex> lock(healthMutex_);
    if (lasting_) return;  // the first lasting cause is the one to act on
    if (!cause_ || *cause_ != error.what()) {
        fprintf(stderr, "brenvikd: DEGRADED: %s; new requests are refused until %s\n", error.what(),
                error.lasting() ? "the service is started again with the right ledger in place"
                                : "the ledger works again");
    }
    cause_ = error.what();
    lasting_ = error.lasting();
}

std::optional<std::string> ReceiptBook::Degraded() {
    {
        std::lock_guard<std::mutex> lock(healthMutex_);
        if (lasting_) return cause_;
    }
    try {
        ledger_.CheckFile();
        bool failed;
        {
            std::lock_guard<std::mutex> lock(healthMutex_);
            failed = cause_.has_value();
        }
        if (!failed) return std::nullopt;
        ledger_.Probe();
        std::lock_guard<std::mutex> lock(healthMutex_);
        if (cause_ && !lasting_) {
            fprintf(stderr, "brenvikd: the ledger works again; new requests are taken\n");
            cause_.reset();
        }
        return cause_;
    } catch (const LedgerError& e) {
        Fail(e);
        std::lock_guard<std::mutex> lock(healthMutex_);
        return cause_;
    }
}

json ReceiptBook::Health(const std::string& printer) {
    std::lock_guard<std::mutex> lock(healthMutex_);
    auto warnings = warnings_.find(printer);
    return {{"state", cause_ ? "degraded" : "ok"},
            {"cause", cause_ ? json(*cause_) : json(nullptr)},
            {"warnings", warnings == warnings_.end() ? json::array() : json(warnings->second)}};
}

long ReceiptBook::Undecided(const std::string& printer) {
    try {
        long count = 0;
        for (const LedgerEntry& entry : ledger_.InProgress(printer)) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!active_.count(entry.requestId)) ++count;
        }
        return count;
    } catch (const LedgerError&) {
        return -1;  // the book hears of it from the next request
    }
}

void ReceiptBook::Warn(const std::string& printer, const std::string& warning) {
    std::lock_guard<std::mutex> lock(healthMutex_);
    std::vector<std::string>& all = warnings_[printer];
    if (std::find(all.begin(), all.end(), warning) != all.end()) return;
    all.push_back(warning);
    fprintf(stderr, "brenvikd: WARNING: printer %s: %s\n", printer.c_str(), warning.c_str());
}

Readiness ReceiptBook::LedgerUnusable() const {
    std::lock_guard<std::mutex> lock(healthMutex_);
    return {false, false, {0, "", "the ledger cannot be used: " + cause_.value_or("unknown failure")}};
}

// --- the lifecycle ---

ReceiptBook::Claimed ReceiptBook::Claim(const std::string& kind, const std::string& printer,
                                        const std::string& requestId, const std::string& body,
                                        LedgerEntry* existing, std::string* cause) {
    // Active before the row exists: whenever the reconciliation can see
    // the entry, it also sees that a job holds it.
    bool mine;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mine = active_.insert(requestId).second;
    }
    bool claimed = false, failed = false;
    try {
        claimed = ledger_.Claim(kind, printer, requestId, body, existing);
    } catch (const LedgerError& e) {
        Fail(e);
        failed = true;
        if (cause) *cause = e.what();
    }
    if (claimed) {
        if (claimedForTests) claimedForTests(requestId);
        return Claimed::New;
    }
    if (mine) {
        std::lock_guard<std::mutex> lock(mutex_);
        active_.erase(requestId);
    }
    return failed ? Claimed::Failed : Claimed::Existing;
}

void ReceiptBook::Abandon(const std::string& requestId) {
    try {
        ledger_.Forget(requestId);
    } catch (const LedgerError& e) {
        Fail(e);
        std::lock_guard<std::mutex> lock(mutex_);
        forget_.insert(requestId);
    }
}

void ReceiptBook::Release(const std::string& requestId) {
    std::lock_guard<std::mutex> lock(mutex_);
    active_.erase(requestId);
}

Answer ReceiptBook::Stored(const LedgerEntry& entry) {
    json body = json::parse(entry.answer, nullptr, false);
    if (body.is_discarded()) body = ErrorBody(500, "the stored answer is damaged");
    return {entry.httpStatus, body};
}

// Writes the final state. False when the ledger failed (the entry stays
// unfinished and the next reconciliation decides it again, the same way).
bool ReceiptBook::Record(const LedgerEntry& entry, ReceiptState state, std::optional<long> checkNumber,
                         const Answer& answer) {
    try {
        if (!ledger_.Finish(entry.requestId, state, checkNumber, answer.body.dump(), answer.status)) {
            fprintf(stderr, "brenvikd: %s %s was decided already; the printer's outcome now is %s\n",
                    entry.kind.c_str(), entry.requestId.c_str(), StateName(state));
        } else if (metrics_) {
            metrics_->Finished(entry.printer, entry.kind, Told(state, FlagIn(answer.body, "reconciled")));
        }
    } catch (const LedgerError& e) {
        Fail(e);
        return false;
    }
    if (state == ReceiptState::Closed && checkNumber && entry.kind == kReceiptKind) {
        std::lock_guard<std::mutex> lock(seenMutex_);
        Seen& seen = seen_[entry.printer];
        if (*checkNumber > seen.recorded) seen.recorded = *checkNumber;
    }
    return true;
}

// A stage that cannot be written changes nothing: the start is on disk, and
// the check number decides the receipt whatever stage the ledger shows.
void ReceiptBook::Stage(const std::string& requestId, ReceiptState state) {
    try {
        ledger_.MarkState(requestId, state);
    } catch (const LedgerError& e) {
        Fail(e);
    }
}

// The entry was no longer waiting to start: it was decided meanwhile.
Answer ReceiptBook::Settled(const std::string& requestId) {
    std::optional<LedgerEntry> entry;
    try {
        entry = ledger_.Find(requestId);
    } catch (const LedgerError& e) {
        Fail(e);
    }
    if (entry && IsFinal(entry->state)) {
        fprintf(stderr, "brenvikd: %s was decided before it started; not sent\n", requestId.c_str());
        return Stored(*entry);
    }
    return {504, ErrorBody(504, "the outcome of '" + requestId +
                                    "' is being decided: ask again with the same requestId")};
}

ReceiptBook::Decided ReceiptBook::Decide(const LedgerEntry& entry, Device& device, const DeviceError& cause,
                                         Answer* answer) {
    const Decided decided = entry.kind == kReceiptKind ? DecideReceipt(entry, device, cause, answer)
                                                       : DecideOperation(entry, device, cause, answer);
    if (metrics_) {
        metrics_->Reconciled(entry.printer, decided == Decided::Yes                 ? "decided"
                                            : decided == Decided::PrinterCannotTell ? "undecided"
                                                                                    : "ledger_failed");
    }
    return decided;
}

ReceiptBook::Decided ReceiptBook::DecideReceipt(const LedgerEntry& entry, Device& device, const DeviceError& cause,
                                                Answer* answer) {
    DeviceError error;
    if (entry.startCheckNumber) {
        // Two reads that agree, and no step backwards: a garbled reply that
        // slipped through must not decide a sale.
        long current = 0, again = 0;
        if (!device.ReadLastCheckNumber(&current, &error) || !device.ReadLastCheckNumber(&again, &error) ||
            current != again || current < *entry.startCheckNumber) {
            return Decided::PrinterCannotTell;
        }
        if (current != *entry.startCheckNumber) {
            fprintf(stderr, "brenvikd: receipt %s on %s: check number %ld -> %ld, closed\n", entry.requestId.c_str(),
                    entry.printer.c_str(), *entry.startCheckNumber, current);
            *answer = Closed(entry.printer, entry.requestId, current, json{{"reconciled", true}});
            return Record(entry, ReceiptState::Closed, current, *answer) ? Decided::Yes : Decided::LedgerFailed;
        }
    }
    // Not advanced, or never started: whatever is open goes.
    if (!device.AbortCheck(&error)) return Decided::PrinterCannotTell;
    fprintf(stderr, "brenvikd: receipt %s on %s: check number unchanged, cancelled\n", entry.requestId.c_str(),
            entry.printer.c_str());
    DeviceError told = cause;
    if (told.message.empty()) {
        told.message = entry.startCheckNumber
                           ? "the receipt was not printed: the service stopped before its check closed"
                           : "the receipt was not printed: it never reached the printer";
    }
    *answer = Failed(entry.printer, entry.requestId, told, json{{"reconciled", true}});
    return Record(entry, ReceiptState::Failed, std::nullopt, *answer) ? Decided::Yes : Decided::LedgerFailed;
}

ReceiptBook::Decided ReceiptBook::DecideOperation(const LedgerEntry& entry, Device& device,
                                                  const DeviceError& cause, Answer* answer) {
    std::optional<Action> op = Action::FromEntry(entry.kind, entry.body);
    if (!op) {
        // Written by a newer service, or damaged: nothing here can decide it.
        Action unknown{entry.kind};
        *answer = OperationUnknown(entry.printer, entry.requestId, unknown, "the ledger's record of it is not readable",
                                   cause);
        return Record(entry, ReceiptState::Unknown, std::nullopt, *answer) ? Decided::Yes : Decided::LedgerFailed;
    }
    Verdict verdict = Verdict::NotDone;  // never started: nothing was sent
    if (!entry.counters.empty()) {
        json before = json::parse(entry.counters, nullptr, false);
        json now, again;
        DeviceError error;
        if (!ReadCounters(*op, device, &now, &error) || !ReadCounters(*op, device, &again, &error) || now != again) {
            return Decided::PrinterCannotTell;
        }
        verdict = Judge(*op, before, now);
        fprintf(stderr, "brenvikd: %s %s on %s: counters %s -> %s\n", op->kind.c_str(), entry.requestId.c_str(),
                entry.printer.c_str(), entry.counters.c_str(), now.dump().c_str());
    }
    switch (verdict) {
    case Verdict::Undecided:
        return Decided::PrinterCannotTell;
    case Verdict::Done:
        *answer = OperationDone(entry.printer, entry.requestId, *op, json::object(), true);
        return Record(entry, ReceiptState::Closed, std::nullopt, *answer) ? Decided::Yes : Decided::LedgerFailed;
    case Verdict::NotDone: {
        DeviceError told = cause;
        if (told.message.empty()) {
            told.message = op->Name() + (entry.counters.empty()
                                             ? " was not done: it never reached the printer"
                                             : " was not done: the printer's counters did not move");
        }
        *answer = OperationNotDone(entry.printer, entry.requestId, *op, told, true);
        return Record(entry, ReceiptState::Failed, std::nullopt, *answer) ? Decided::Yes : Decided::LedgerFailed;
    }
    case Verdict::Unknown:
        break;
    }
    *answer = OperationUnknown(entry.printer, entry.requestId, *op,
                               op->kind == "cash"
                                   ? "the cash registers moved, but not by this amount"
                                   : "this printer reports no counter a report moves (no document numbers on its "
                                     "firmware)",
                               cause);
    return Record(entry, ReceiptState::Unknown, std::nullopt, *answer) ? Decided::Yes : Decided::LedgerFailed;
}

// --- the worker ---

Readiness ReceiptBook::Prepare(const std::string& printer, Device& device, bool connected) {
    Degraded();  // the ledger file still the one open; a failed one tried again
    try {
        if (connected) {
            Readiness identified = Identify(printer, device);
            if (!identified.ready) return identified;
        }
        Readiness decided = ReconcileAll(printer, device);
        if (decided.ready) Track(printer, device);
        return decided;
    } catch (const LedgerError& e) {
        Fail(e);
        return LedgerUnusable();
    }
}

Readiness ReceiptBook::ReconcileAll(const std::string& printer, Device& device) {
    for (const LedgerEntry& entry : ledger_.InProgress(printer)) {
        bool forget = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (active_.count(entry.requestId)) continue;
            forget = forget_.count(entry.requestId) > 0;
        }
        if (forget) {
            // Abandoned while the ledger failed: it never reached the printer.
            ledger_.Forget(entry.requestId);
            std::lock_guard<std::mutex> lock(mutex_);
            forget_.erase(entry.requestId);
            continue;
        }
        Answer answer;
        switch (Decide(entry, device, {}, &answer)) {
        case Decided::Yes:
            break;
        case Decided::PrinterCannotTell:
            return {false, true, {0, "", "an earlier request's outcome is not known yet; the printer did not answer"}};
        case Decided::LedgerFailed:
            return LedgerUnusable();
        }
    }
    return {};
}

// Which printer is on the line, against the ledger's record of it.
Readiness ReceiptBook::Identify(const std::string& printer, Device& device) {
    json status;
    DeviceError error;
    if (!device.Status(&status, &error)) return {false, true, error};
    Seen now;
    now.serialNumber = TextIn(status, "serialNumber");
    now.lastCheckNumber = static_cast<long>(NumberIn(status, "lastCheckNumber", 0));
    now.compare = true;
    std::optional<PrinterRecord> record = ledger_.Printer(printer);
    if (record) now.recorded = record->lastCheckNumber;
    if (record && !record->serialNumber.empty() && !now.serialNumber.empty() &&
        record->serialNumber != now.serialNumber) {
        Warn(printer, "this ledger (" + ledger_.path() + ") was kept beside printer " + record->serialNumber +
                          ", but the printer on this line is " + now.serialNumber +
                          ": its requestIds say nothing about what this printer printed");
        // What was unfinished was started on the other printer: this one
        // cannot decide it.
        for (const LedgerEntry& entry : ledger_.InProgress(printer)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (active_.count(entry.requestId)) continue;
            }
            std::string why = "it was started on printer " + record->serialNumber + "; the printer on this line is " +
                              now.serialNumber;
            Answer answer;
            if (entry.kind == kReceiptKind) {
                json body = ErrorBody(504, "whether the receipt was printed cannot be told: " + why +
                                               ". Look at printer " + record->serialNumber +
                                               " before printing it again");
                body.update(Head(printer, entry.requestId, "unknown"));
                answer = {504, body};
            } else {
                Action action = Action::FromEntry(entry.kind, entry.body).value_or(Action{entry.kind});
                answer = OperationUnknown(printer, entry.requestId, action, why, {});
            }
            ledger_.Finish(entry.requestId, ReceiptState::Unknown, std::nullopt, answer.body.dump(), answer.status);
        }
        ledger_.RecordPrinter(printer, {now.serialNumber, now.lastCheckNumber});
        now.compare = false;
        now.recorded = now.lastCheckNumber;
    }
    std::lock_guard<std::mutex> lock(seenMutex_);
    seen_[printer] = now;
    return {};
}

// After the reconciliation: has the printer printed what this ledger does
// not know of? Then the ledger's record follows the printer.
void ReceiptBook::Track(const std::string& printer, Device& device) {
    Seen seen;
    {
        std::lock_guard<std::mutex> lock(seenMutex_);
        seen = seen_[printer];
    }
    long last = seen.lastCheckNumber;
    if (seen.compare) {
        // Reconciled receipts moved the record since it was read.
        std::optional<PrinterRecord> record = ledger_.Printer(printer);
        const std::string serial = seen.serialNumber.empty() ? "" : " (" + seen.serialNumber + ")";
        if (!record) {
            if (last > 0 && !ledger_.HasEntries(printer)) {
                Warn(printer, "this ledger (" + ledger_.path() + ") has no record of this printer" + serial +
                                  ", which has printed checks up to number " + std::to_string(last) +
                                  ": the requestIds of receipts printed before would print again. If another "
                                  "ledger was kept for this printer, stop the service and put it back");
            }
        } else if (last > 0 && last > record->lastCheckNumber) {
            Warn(printer, "the printer" + serial + " has printed checks up to number " + std::to_string(last) +
                              ", but this ledger knows of checks up to " + std::to_string(record->lastCheckNumber) +
                              " only: the ledger may be an older copy, or another program printed meanwhile; "
                              "requestIds of those receipts are unknown here");
        } else if (last > 0 && last < record->lastCheckNumber) {
            Warn(printer, "the printer" + serial + " reports check number " + std::to_string(last) +
                              ", below the " + std::to_string(record->lastCheckNumber) +
                              " this ledger recorded: the ledger may belong to another printer");
        }
        seen.compare = false;
    } else {
        last = device.KnownLastCheckNumber();
        if (last <= seen.recorded) return;
    }
    ledger_.RecordPrinter(printer, {seen.serialNumber, last});
    seen.recorded = last;
    std::lock_guard<std::mutex> lock(seenMutex_);
    seen_[printer] = seen;
}

Answer ReceiptBook::Print(const std::string& printer, const std::string& requestId, const std::string& body,
                          Device& device) {
    // The start is on disk before anything is sent: from here on the
    // check number decides the receipt, whatever else the ledger loses.
    const long before = device.KnownLastCheckNumber();
    try {
        if (!ledger_.MarkStarted(requestId, before, "")) return Settled(requestId);
    } catch (const LedgerError& e) {
        Fail(e);
        Abandon(requestId);
        return Unavailable(std::string("the receipt was not printed: ") + e.what() +
                           "; try again with the same requestId once the ledger works");
    }
    ReceiptProgress progress;
    progress.started = [&](long lastCheckNumber) {
        if (lastCheckNumber != before) {
            fprintf(stderr, "brenvikd: receipt %s starts after check %ld, not %ld as recorded\n", requestId.c_str(),
                    lastCheckNumber, before);
        }
    };
    progress.linesSent = [&] { Stage(requestId, ReceiptState::LinesSent); };
    progress.closing = [&] { Stage(requestId, ReceiptState::Closing); };
    const auto began = std::chrono::steady_clock::now();
    ReceiptOutcome outcome = device.PrintReceipt(body, progress);
    // Until its outcome is known, asking the printer included.
    auto timed = [&](Answer told) {
        if (metrics_)
            metrics_->ReceiptSeconds(printer,
                                     std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        return told;
    };

    LedgerEntry entry;
    entry.requestId = requestId;
    entry.printer = printer;
    entry.body = body;
    entry.state = ReceiptState::Closing;
    entry.startCheckNumber = before;
    Answer answer;
    if (outcome.closed) {
        answer = Closed(printer, requestId, outcome.checkNumber, outcome.details);
        Record(entry, ReceiptState::Closed, outcome.checkNumber, answer);
        return timed(answer);
    }
    if (outcome.cancelled) {
        answer = outcome.invalid ? Invalid(printer, requestId, outcome.error, outcome.details)
                                 : Failed(printer, requestId, outcome.error, outcome.details);
        Record(entry, ReceiptState::Failed, std::nullopt, answer);
        return timed(answer);
    }
    // Neither closed nor cancelled for sure: ask the printer.
    if (Decide(entry, device, outcome.error, &answer) != Decided::PrinterCannotTell) return timed(answer);
    json unknown = ErrorBody(504,
                             "the printer did not tell whether the receipt was printed; the service decides it "
                             "as soon as the printer answers again: ask again with the same requestId",
                             outcome.error);
    unknown.update(Head(printer, requestId, "closing"));
    if (metrics_) metrics_->Finished(printer, kReceiptKind, Outcome::Undecided);
    return timed({504, unknown});
}

Answer ReceiptBook::Perform(const std::string& printer, const std::string& requestId, const Action& op,
                            Device& device) {
    json before;
    DeviceError error;
    if (!ReadCounters(op, device, &before, &error)) {
        Abandon(requestId);
        return {503, ErrorBody(503, "the printer is not available: " + error.message, error)};
    }
    try {
        if (!ledger_.MarkStarted(requestId, std::nullopt, before.dump())) return Settled(requestId);
    } catch (const LedgerError& e) {
        Fail(e);
        Abandon(requestId);
        return Unavailable(op.Name() + " was not done: " + e.what() +
                           "; try again with the same requestId once the ledger works");
    }
    Answer run = RunOperation(op, device);

    LedgerEntry entry;
    entry.requestId = requestId;
    entry.kind = op.kind;
    entry.printer = printer;
    entry.body = op.Canonical(requestId);
    entry.state = ReceiptState::Started;
    entry.counters = before.dump();
    Answer answer;
    if (run.status == 200) {
        answer = OperationDone(printer, requestId, op, run.body, false);
        Record(entry, ReceiptState::Closed, std::nullopt, answer);
        return answer;
    }
    const json told = run.body.contains("error") ? run.body["error"] : json::object();
    // The printer's own message and hint, not the meaning told beside them.
    DeviceError cause{static_cast<int>(NumberIn(told, "number", 0)), TextIn(told, "word"),
                      TextIn(told, "engineMessage", TextIn(told, "message")), ""};
    if (cause.number != 0 && TextIn(told, "advice") != brenvik_error_advice(static_cast<uint32_t>(cause.number), "en"))
        cause.advice = TextIn(told, "advice");
    if (run.status == 422) {
        answer = OperationNotDone(printer, requestId, op, cause, FlagIn(run.body, "reconciled"));
        Record(entry, ReceiptState::Failed, std::nullopt, answer);
        return answer;
    }
    // Not known: ask the counters once more now.
    if (Decide(entry, device, cause, &answer) != Decided::PrinterCannotTell) return answer;
    json unknown = ErrorBody(504,
                             "the printer did not tell whether " + op.Name() +
                                 " was done; the service decides it as soon as the printer answers again: ask "
                                 "again with the same requestId",
                             cause);
    unknown.update(OperationHead(printer, requestId, op, "started"));
    Merge(unknown, op.DoneBody());
    unknown["outcome"] = "unknown";
    if (metrics_) metrics_->Finished(printer, op.kind, Outcome::Undecided);
    return {504, unknown};
}

// --- HTTP threads ---

std::optional<Reply> ReceiptBook::Refusal() {
    std::optional<std::string> cause = Degraded();
    if (!cause) return std::nullopt;
    return Reply(503, ErrorBody(503, "the service is degraded and takes no new requests: " + *cause),
                 {{"Retry-After", "10"}});
}

// A request id the ledger knows: its answer, its task, or a conflict.
Reply ReceiptBook::Repeated(const LedgerEntry& existing, const std::string& kind, const std::string& printer,
                            const std::string& canonical) {
    const std::string& requestId = existing.requestId;
    if (existing.kind != kind || existing.printer != printer || existing.body != canonical) {
        return {409, ErrorBody(409, "requestId '" + requestId + "' was used for another " +
                                        (kind == kReceiptKind ? "receipt" : "request"),
                               {}, "/requestId")};
    }
    if (IsFinal(existing.state)) {
        Answer stored = Stored(existing);
        return {stored.status, stored.body, {{"Brenvik-Repeated", "1"}}};
    }
    auto running = running_.find(requestId);
    if (running != running_.end()) {
        return {202, running->second->Describe(), {{"Location", "/tasks/" + running->second->id()}}};
    }
    return {202, json{{"requestId", requestId},
                      {"state", StateName(existing.state)},
                      {"message", "the outcome is decided as soon as the printer answers"}}};
}

Reply ReceiptBook::Submit(PrinterWorker& worker, TaskTable& tasks, const std::string& kind,
                          const std::string& requestId, const std::string& canonical) {
    const std::string printer = worker.id();
    std::lock_guard<std::mutex> lock(submitMutex_);
    if (std::optional<Reply> refused = Refusal()) {
        // A repeat still gets its answer while the ledger can be read.
        std::optional<LedgerEntry> known;
        try {
            known = ledger_.Find(requestId);
        } catch (const LedgerError&) {
        }
        return known ? Repeated(*known, kind, printer, canonical) : *refused;
    }
    LedgerEntry existing;
    std::string cause;
    switch (Claim(kind, printer, requestId, canonical, &existing, &cause)) {
    case Claimed::Failed:
        return {503, ErrorBody(503, "the service is degraded and takes no new requests: " + cause)};
    case Claimed::Existing:
        return Repeated(existing, kind, printer, canonical);
    case Claimed::New:
        break;
    }
    std::shared_ptr<Task> task = tasks.Create(printer);
    running_[requestId] = task;
    PrinterWorker* owner = &worker;
    bool queued = worker.Submit([this, owner, task, kind, requestId, canonical, printer](
                                    Device* device, const DeviceError& unavailable) {
        task->SetRunning();
        Answer answer;
        if (!device) {
            // Nothing was sent: the id is free for a retry.
            Abandon(requestId);
            answer = {503, ErrorBody(503, "the printer is not available: " + unavailable.message, unavailable)};
        } else {
            try {
                if (kind == kReceiptKind) {
                    answer = Print(printer, requestId, canonical, *device);
                } else if (std::optional<Action> op = Action::FromEntry(kind, canonical)) {
                    answer = Perform(printer, requestId, *op, *device);
                } else {
                    answer = {500, ErrorBody(500, "no such operation: " + kind)};
                }
            } catch (const std::exception& e) {
                answer = {500, ErrorBody(500, e.what())};
            }
            if (kind == kReceiptKind) {
                owner->Publish([&](json& s) {
                    json number = answer.body.value("checkNumber", json(nullptr));
                    s["lastReceipt"] = {{"requestId", requestId}, {"status", answer.status}, {"checkNumber", number}};
                    if (answer.status == 200 && s["printer"].is_object()) s["printer"]["lastCheckNumber"] = number;
                });
            }
        }
        Release(requestId);
        {
            std::lock_guard<std::mutex> forget(submitMutex_);
            running_.erase(requestId);
        }
        task->Finish(answer.status, answer.body);
    });
    if (!queued) {
        Abandon(requestId);
        Release(requestId);
        running_.erase(requestId);
        if (worker.Stopping()) return {503, ErrorBody(503, "the service is stopping")};
        return {503, ErrorBody(503, "the queue of printer '" + printer + "' is full; try again shortly"),
                {{"Retry-After", "2"}}};
    }
    return Reply(task);
}

}  // namespace brenvikd
