// Reports and cash movements: how one runs, what it answers, and how one
// whose outcome was lost is decided later by the counters it moves.
#pragma once

#include <optional>
#include <string>

#include "service/device.h"

namespace brenvikd {

struct Answer {
    int status = 200;
    json body;
};

// A field of a JSON object, or `otherwise` when it is missing or of
// another type.
std::string TextIn(const json& object, const char* key, const std::string& otherwise = "");
long long NumberIn(const json& object, const char* key, long long otherwise);
bool FlagIn(const json& object, const char* key);

// An engine error number that means no printer to talk to: the port
// (1-7), a silent printer (80), a line that only babbles (94).
bool ConnectionError(int number);

// The one JSON shape of every error answer (json/results.h), in English:
// {"error": {"status", "number", "word", "message", "engineMessage",
// "advice", "path"}}. The status token follows the HTTP status (422
// "refused", 503 "unavailable", or "no-connection" when the printer's
// error says so). `path`: a JSON Pointer into the request, "" the whole
// body; nullptr: none. `problems`: every problem of a document.
json ErrorBody(int status, const std::string& message, const DeviceError& printer = {}, const char* path = nullptr,
               const json& problems = json());

// An answer's errors told in `lang` ("en" or "uk"): the printer's error
// numbers' meanings and advice; the service's own words stay English.
void Localize(json& body, const std::string& lang);

// A report or a cash movement: an action that changes the printer's state.
struct Action {
    std::string kind;      // "x-report", "z-report" or "cash"
    bool cashIn = false;   // cash only
    long long amount = 0;  // kopecks, cash only

    // The request as the ledger keeps it: the same operation asked twice
    // has the same text, whatever way its amount was written.
    std::string Canonical(const std::string& requestId) const;
    // From a ledger entry's kind and canonical body.
    static std::optional<Action> FromEntry(const std::string& kind, const std::string& body);
    // "the X-report", for messages.
    std::string Name() const;
    // What a done operation answers (without the ledger's fields).
    json DoneBody() const;
};

// Runs it once, unrecorded: 200 done ("reconciled": true when its lost
// reply was decided by the printer's counters), 422 not done (a retry is
// safe), 504 not known (look at the printer before trying again).
Answer RunOperation(const Action& op, Device& device);

// The counters the operation moves, read now: the document numbers for
// the reports, the cash registers for cash.
bool ReadCounters(const Action& op, Device& device, json* counters, DeviceError* error);

enum class Verdict {
    Done,
    NotDone,
    Unknown,    // nothing the printer reports can tell (no document numbers on this firmware)
    Undecided,  // the counters make no sense yet (they went backwards): ask again later
};
// What the counters read before sending and now say about the operation.
Verdict Judge(const Action& op, const json& before, const json& now);

}  // namespace brenvikd
