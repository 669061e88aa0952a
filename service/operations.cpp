#include "service/operations.h"

#include "json/results.h"

namespace brenvikd {
namespace {

long long Counter(const json& counters, const char* key) { return NumberIn(counters, key, -1); }

const char* const kDocumentCounters[] = {"lastCheckNumber", "lastDocumentNumber", "lastServiceDocumentNumber",
                                         "lastZReportNumber"};

}  // namespace

std::string TextIn(const json& object, const char* key, const std::string& otherwise) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : otherwise;
}

long long NumberIn(const json& object, const char* key, long long otherwise) {
    auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<long long>() : otherwise;
}

bool FlagIn(const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

bool ConnectionError(int number) { return (number >= 1 && number <= 7) || number == 80 || number == 94; }

json ErrorBody(int status, const std::string& message, const DeviceError& printer, const char* path,
               const json& problems) {
    brenvik::results::Failure f;
    f.status = status == 503 && ConnectionError(printer.number) ? "no-connection"
                                                                 : brenvik::results::HttpStatusName(status);
    f.number = static_cast<uint32_t>(printer.number);
    f.word = printer.word;
    // The printer's own message with its number; the service's words without.
    f.message = printer.number != 0 && !printer.message.empty() ? printer.message : message;
    f.advice = printer.advice;
    f.hasPath = path != nullptr;
    f.path = path != nullptr ? path : "";
    if (problems.is_array() && !problems.empty()) f.problems = problems;
    json body = brenvik::results::Error(f, "en");
    // The service's own words come first when a printer's number is told.
    if (printer.number != 0 && message != printer.message && !message.empty()) {
        json& error = body["error"];
        error["message"] = message;
    }
    return body;
}

void Localize(json& body, const std::string& lang) {
    if (lang == "en" || !body.is_object()) return;
    if (body.contains("error")) brenvik::results::Localize(body["error"], lang);
    // A stored receipt's answer, a task's result.
    for (const char* inner : {"answer", "result"}) {
        if (body.contains(inner) && body[inner].is_object() && body[inner].contains("error"))
            brenvik::results::Localize(body[inner]["error"], lang);
    }
}

std::string Action::Canonical(const std::string& requestId) const {
    json body = {{"requestId", requestId}};
    if (kind == "cash") {
        body["direction"] = cashIn ? "in" : "out";
        body["amount"] = amount;
    }
    return body.dump();
}

std::optional<Action> Action::FromEntry(const std::string& kind, const std::string& body) {
    Action op;
    op.kind = kind;
    if (kind == "x-report" || kind == "z-report") return op;
    if (kind != "cash") return std::nullopt;
    json parsed = json::parse(body, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("amount") || !parsed["amount"].is_number_integer()) {
        return std::nullopt;
    }
    op.cashIn = TextIn(parsed, "direction") == "in";
    op.amount = parsed["amount"].get<long long>();
    return op;
}

std::string Action::Name() const {
    if (kind == "x-report") return "the X-report";
    if (kind == "z-report") return "the Z-report";
    return cashIn ? "the cash in" : "the cash out";
}

json Action::DoneBody() const { return json(brenvik::results::Operation(kind, cashIn, amount)); }

Answer RunOperation(const Action& op, Device& device) {
    json out;
    DeviceError error;
    bool done = op.kind == "x-report"   ? device.XReport(&out, &error)
                : op.kind == "z-report" ? device.ZReport(&out, &error)
                                        : device.MoveCash(op.cashIn, op.amount, &out, &error);
    OperationOutcome outcome = device.LastOutcome();
    if (done) {
        json body = op.DoneBody();
        body["outcome"] = "done";
        if (outcome == OperationOutcome::ReconciledDone) body["reconciled"] = true;
        return {200, body};
    }
    if (outcome == OperationOutcome::Unknown) {
        json body = ErrorBody(504,
                              "whether " + op.Name() +
                                  " was done is not known: its reply was lost and nothing the printer reports "
                                  "could tell; look at the printer before trying again",
                              error);
        body.update(op.DoneBody());
        body["outcome"] = "unknown";
        return {504, body};
    }
    const std::string message = error.message.empty() ? op.Name() + " was not done" : error.message;
    json body = ErrorBody(422, message, error);
    body.update(op.DoneBody());
    body["outcome"] = "not-done";
    if (outcome == OperationOutcome::ReconciledNotDone) body["reconciled"] = true;
    return {422, body};
}

bool ReadCounters(const Action& op, Device& device, json* counters, DeviceError* error) {
    json read;
    if (!device.Document(op.kind == "cash" ? "cash" : "documents", 0, &read, error)) return false;
    *counters = json::object();
    if (op.kind == "cash") {
        for (const char* key : {"income", "outcome"}) (*counters)[key] = read.value(key, json(nullptr));
    } else {
        for (const char* key : kDocumentCounters) (*counters)[key] = read.value(key, json(nullptr));
    }
    return true;
}

Verdict Judge(const Action& op, const json& before, const json& now) {
    if (op.kind == "cash") {
        const char* key = op.cashIn ? "income" : "outcome";
        long long was = Counter(before, key), is = Counter(now, key);
        if (was < 0 || is < 0) return Verdict::Unknown;
        if (is - was == op.amount) return Verdict::Done;
        if (is == was) return Verdict::NotDone;
        // Fewer than before: not this day's registers; more by another sum:
        // something else moved the cash too.
        return is < was ? Verdict::Undecided : Verdict::Unknown;
    }
    // Firmware that reports no document numbers answers zeros: it cannot tell.
    bool reported = false;
    for (const char* key : kDocumentCounters) reported = reported || Counter(before, key) > 0 || Counter(now, key) > 0;
    if (!reported) return Verdict::Unknown;
    const std::vector<const char*> moved =
        op.kind == "z-report" ? std::vector<const char*>{"lastZReportNumber"}
                              : std::vector<const char*>{"lastDocumentNumber", "lastServiceDocumentNumber"};
    bool forward = false;
    for (const char* key : moved) {
        long long was = Counter(before, key), is = Counter(now, key);
        if (was < 0 || is < 0) return Verdict::Unknown;
        if (is < was) return Verdict::Undecided;
        forward = forward || is > was;
    }
    return forward ? Verdict::Done : Verdict::NotDone;
}

}  // namespace brenvikd
