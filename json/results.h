// One JSON language for everything the printer answers: the brenvik tool's
// --json and brenvikd's answers both come from here, so a field means the
// same and has the same form in both. The shapes are described by the JSON
// Schemas in docs/schemas/ (the service's OpenAPI document refers to them).
//
// The rules: amounts are integers of kopecks, with a "...Text" twin
// ("total": 15780, "totalText": "157.80"); tax rates are integers of
// hundredths of a percent with a twin ("rate": 2000, "rateText": "20.00");
// the key position is its letter ("R"); the printer's clock is "date"
// (YYYY-MM-DD) and "time" (hh:mm:ss); a missing text is null, never "";
// paths into a document are JSON Pointers (RFC 6901). Every error has one
// shape: see Error below.
//
// Built on the C API only (brenvik.h): the tool and the service stand on it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "brenvik/brenvik.h"

namespace brenvik::results {

using Json = nlohmann::ordered_json;

// "157.80", "-0.05": kopecks as people read them.
std::string MoneyText(int64_t kopecks);
// Sets `key` to the kopecks and `key`Text to MoneyText.
void PutAmount(Json& out, const std::string& key, int64_t kopecks);
std::string DateText(const brenvik_datetime& t);  // YYYY-MM-DD
std::string TimeText(const brenvik_datetime& t);  // hh:mm:ss

// {"date", "time"}: the printer's clock.
Json Clock(const brenvik_datetime& t);
Json Config(const brenvik_config& c);
Json Documents(const brenvik_documents& d);
// What identifies the printer and where its numbers stand: the documents'
// numbers with the serial and fiscal numbers (null when not known).
Json PrinterStatus(const std::string& serialNumber, const std::string& fiscalNumber, const brenvik_documents& d);
// {"taxes": [...]}: all eight groups, "programmed" saying which are.
Json Taxes(const brenvik_taxes& t);
Json Cash(const brenvik_cash& c);
Json Fiscal(const brenvik_fiscal& f);
Json Article(const brenvik_article& a);
// A closed receipt: its check number, total, payments, change and the
// printer's clock after closing.
Json ReceiptClosed(const brenvik_receipt_result& r);
// A report or cash movement that was done: {"operation": "x-report" |
// "z-report" | "cash", and for cash "direction" and the amount}.
Json Operation(const std::string& kind, bool cashIn = false, int64_t amount = 0);

// ---- Errors ---------------------------------------------------------------

// What went wrong, before it is told in a language.
struct Failure {
    // One of: "invalid" (bad input; nothing was sent), "refused" (by the
    // printer), "no-connection", "unknown" (whether the printer did it is
    // not known), "wrong-state", "out-of-memory", "unsupported", "internal";
    // the service adds "unauthorized", "forbidden", "not-found",
    // "conflict", "too-large", "unsupported-media-type", "unavailable".
    std::string status;
    uint32_t number = 0;     // the engine's error number; 0: none
    std::string word;        // the printer's or engine's error word
    std::string message;     // number 0: what went wrong; else the engine's own (Russian) message
    std::string advice;      // a hint of the caller's own (a port's); empty: the number's
    std::string path;        // a JSON Pointer into the request, or
    bool hasPath = false;    //   none
    Json problems;           // every problem of a document: [{"path", "message"}], or null
};

// The status token of a C API status ("refused", ...).
const char* StatusName(brenvik_status status);
// The status token of an HTTP status (422 "refused", 503 "unavailable", ...).
const char* HttpStatusName(int httpStatus);

// The one error shape, in language `lang` ("en", "uk"; see
// brenvik_error_meaning):
//   {"error": {"status", "number", "word", "message", "engineMessage",
//              "advice", "path", ["errors"]}}
// "message" is the number's meaning in that language when the number has
// one (else the message as given); "engineMessage" the engine's own Russian
// message (null without a number); "advice" what to do (null when
// nothing); "word" and "path" null when none; "errors" every problem of a
// document, when there are several to tell.
Json Error(const Failure& failure, const std::string& lang);
// The same from a handle's last error.
Failure FailureOf(brenvik_status status, const brenvik_error& e);

// Retells an error object (the value of "error") made in English in
// another language: the number's meaning and advice, where they are the
// number's own; the rest stays. For answers kept in English (brenvikd's
// ledger) and told in the language each request asks for.
template <class J>
void Localize(J& error, const std::string& lang) {
    if (!error.is_object() || !error.contains("number") || !error["number"].is_number_unsigned()) return;
    const auto number = error["number"].template get<uint32_t>();
    if (number == 0) return;
    const char* fields[][2] = {{"message", brenvik_error_meaning(number, "en")},
                               {"advice", brenvik_error_advice(number, "en")}};
    for (const auto& field : fields) {
        auto it = error.find(field[0]);
        if (it == error.end() || !it->is_string() || field[1][0] == '\0' || *it != field[1]) continue;
        *it = field[0] == std::string("message") ? brenvik_error_meaning(number, lang.c_str())
                                                 : brenvik_error_advice(number, lang.c_str());
    }
}

}  // namespace brenvik::results
