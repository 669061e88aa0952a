#include "service/receipts.h"

#include <cstdio>

namespace brenvikd {
namespace {

json Head(const std::string& printer, const std::string& requestId, const char* state) {
    return {{"requestId", requestId}, {"printer", printer}, {"state", state}};
}

Answer Closed(const std::string& printer, const std::string& requestId, long checkNumber, const json& details) {
    json body = Head(printer, requestId, "closed");
    body["checkNumber"] = checkNumber;
    if (details.is_object()) {
        for (auto& item : details.items()) {
            if (!body.contains(item.key())) body[item.key()] = item.value();
        }
    }
    return {200, body};
}

// The printer refused or the check was cancelled: a retry is safe.
Answer Failed(const std::string& printer, const std::string& requestId, const DeviceError& error,
              const json& details) {
    json body = ErrorBody(422, error.message.empty() ? "the receipt was not printed" : error.message, error);
    body.update(Head(printer, requestId, "failed"));
    body["cancelled"] = true;
    if (details.is_object()) {
        for (auto& item : details.items()) {
            if (!body.contains(item.key())) body[item.key()] = item.value();
        }
    }
    return {422, body};
}

}  // namespace

json ErrorBody(int status, const std::string& message, const DeviceError& printer, const std::string& path) {
    json error = {{"status", status},
                  {"message", message},
                  {"word", printer.word.empty() ? json(nullptr) : json(printer.word)},
                  {"number", printer.number}};
    if (!path.empty()) error["path"] = path;
    return {{"error", error}};
}

void ReceiptBook::SetActive(const std::string& requestId, bool active) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (active) {
        active_.insert(requestId);
    } else {
        active_.erase(requestId);
    }
}

Answer ReceiptBook::Stored(const LedgerEntry& entry) {
    json body = json::parse(entry.answer, nullptr, false);
    if (body.is_discarded()) body = ErrorBody(500, "the stored answer is damaged");
    return {entry.httpStatus, body};
}

bool ReceiptBook::Decide(const LedgerEntry& entry, Device& device, const DeviceError& cause, Answer* answer) {
    DeviceError error;
    if (entry.startCheckNumber) {
        // Two reads that agree, and no step backwards: a garbled reply that
        // slipped through must not decide a sale.
        long current = 0, again = 0;
        if (!device.ReadLastCheckNumber(&current, &error) || !device.ReadLastCheckNumber(&again, &error) ||
            current != again || current < *entry.startCheckNumber) {
            return false;
        }
        if (current != *entry.startCheckNumber) {
            fprintf(stderr, "brenvikd: receipt %s on %s: check number %ld -> %ld, closed\n", entry.requestId.c_str(),
                    entry.printer.c_str(), *entry.startCheckNumber, current);
            json details = {{"reconciled", true}};
            *answer = Closed(entry.printer, entry.requestId, current, details);
            ledger_.Finish(entry.requestId, ReceiptState::Closed, current, answer->body.dump(), answer->status);
            return true;
        }
    }
    // Not advanced, or never started: whatever is open goes.
    if (!device.AbortCheck(&error)) return false;
    fprintf(stderr, "brenvikd: receipt %s on %s: check number unchanged, cancelled\n", entry.requestId.c_str(),
            entry.printer.c_str());
    DeviceError told = cause;
    if (told.message.empty()) told.message = "the receipt was not printed: the service stopped before its check closed";
    *answer = Failed(entry.printer, entry.requestId, told, json{{"reconciled", true}});
    ledger_.Finish(entry.requestId, ReceiptState::Failed, std::nullopt, answer->body.dump(), answer->status);
    return true;
}

bool ReceiptBook::Reconcile(const std::string& printer, Device& device) {
    for (const LedgerEntry& entry : ledger_.InProgress(printer)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (active_.count(entry.requestId)) continue;
        }
        Answer answer;
        if (!Decide(entry, device, {}, &answer)) return false;
    }
    return true;
}

Answer ReceiptBook::Print(const std::string& printer, const std::string& requestId, const std::string& body,
                          Device& device) {
    ReceiptProgress progress;
    progress.started = [&](long lastCheckNumber) { ledger_.MarkStarted(requestId, lastCheckNumber); };
    progress.linesSent = [&] { ledger_.MarkState(requestId, ReceiptState::LinesSent); };
    progress.closing = [&] { ledger_.MarkState(requestId, ReceiptState::Closing); };
    ReceiptOutcome outcome = device.PrintReceipt(body, progress);

    Answer answer;
    if (outcome.closed) {
        answer = Closed(printer, requestId, outcome.checkNumber, outcome.details);
        ledger_.Finish(requestId, ReceiptState::Closed, outcome.checkNumber, answer.body.dump(), answer.status);
        return answer;
    }
    if (outcome.cancelled) {
        answer = Failed(printer, requestId, outcome.error, outcome.details);
        ledger_.Finish(requestId, ReceiptState::Failed, std::nullopt, answer.body.dump(), answer.status);
        return answer;
    }
    // Neither closed nor cancelled for sure: ask the printer.
    std::optional<LedgerEntry> entry = ledger_.Find(requestId);
    if (entry && Decide(*entry, device, outcome.error, &answer)) return answer;
    json unknown = ErrorBody(504,
                             "the printer did not tell whether the receipt was printed; the service decides it "
                             "as soon as the printer answers again: ask again with the same requestId",
                             outcome.error);
    unknown.update(Head(printer, requestId, entry ? StateName(entry->state) : "closing"));
    return {504, unknown};
}

}  // namespace brenvikd
