// The receipt document (docs/receipt.schema.json): parsed and validated
// without a printer, then printed as one check by the one mapping to engine
// operations that the C API, the CLI and the network service share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/commands/text_limits.h"
#include "engine/printer_engine.h"

namespace brenvik::receipt {

// Limits of the document. Its texts are limited by the printer
// (TextLimits): without one, by the widest printer's limits.
constexpr size_t kMaxItems = 100;
constexpr size_t kMaxTexts = 20;
constexpr size_t kRequestIdLimit = 64;    // characters of A-Z a-z 0-9 . _ : -
constexpr int64_t kMaxPrice = 999999999;  // kopecks: the line's nine digits
constexpr int64_t kMaxTotal = INT32_MAX;  // kopecks: the printer's registers
constexpr int32_t kMaxQuantity = 999999;
constexpr int32_t kMaxArticle = 999999999;

// Texts below are code page 1251 bytes, ready for the engine.
struct Item {
    std::string name;
    int32_t quantity = 0;  // pieces, or thousandths of a kilogram
    int32_t price = 0;     // kopecks
    bool weighed = false;
    int32_t tax1 = 0;
    int32_t tax2 = 0;
    int32_t article = 0;
    int32_t discountDirection = 2;  // 0 discount, 1 surcharge, 2 none
    int32_t discount = 0;           // kopecks, 0 or more
    std::string discountName;
    int64_t sum = 0;  // the line's sum with its discount or surcharge
};

struct TextLine {
    std::string text;
    bool before = false;  // before the fiscal part of the check
    bool bold = false;
    bool journal = false;
};

struct Payments {
    bool given = false;  // false: the whole total in cash, exactly
    int64_t cash = 0;
    int64_t card = 0;
    int64_t credit = 0;
    int64_t packing = 0;
    int64_t Sum() const { return cash + card + credit + packing; }
};

struct Receipt {
    std::string requestId;  // UTF-8, as given
    bool isReturn = false;
    bool hasOperator = false;
    std::string cashier;
    std::string password;
    std::string department = "1";
    std::string returnCheckNumbers;
    std::vector<Item> items;
    std::vector<TextLine> texts;
    Payments payments;
    int64_t total = 0;  // sum of the items, without on-sale taxes
};

// Where a document is wrong: its JSON Pointer (RFC 6901: "/items/2/price";
// "" for the whole document) and why (UTF-8).
struct Problem {
    std::string path;
    std::string message;
};

// At most this many problems are listed; the last then counts the rest.
constexpr size_t kMaxProblems = 100;

// Parses and validates `json` (UTF-8) against the widest printer's text
// limits: every problem of the document, none when `out` is filled. A
// document that is not JSON has one, where the reading stopped. Nothing in
// the document, however malformed, makes it throw.
std::vector<Problem> Check(const char* json, Receipt& out);

// The same against a connected printer's text limits, and what only that
// printer decides: its programmed tax groups, its largest quantity and its
// article numbers. Nothing is sent.
std::vector<Problem> CheckFor(const PrinterEngine& engine, const char* json, Receipt& out);

// [{"path": ..., "message": ...}, ...] (UTF-8 JSON text).
std::string ProblemsJson(const std::vector<Problem>& problems);

// Check and CheckFor for the first problem only: true with `out` filled,
// or false with `problem`.
bool Parse(const char* json, Receipt& out, Problem& problem);
bool ParseFor(const PrinterEngine& engine, const char* json, Receipt& out, Problem& problem);

// ---- Printing ----------------------------------------------------------

enum class Stage { Started, Line, LinesSent, Closing };

struct ProgressEvent {
    Stage stage = Stage::Started;
    int64_t lastCheckNumber = 0;  // known before anything was sent
    int32_t lineIndex = -1;
    int32_t linesTotal = 0;
    int64_t sum = 0;  // kopecks so far
};

enum class Outcome { Closed, Cancelled, NotCancelled, Uncertain };

struct PrintResult {
    Outcome outcome = Outcome::Cancelled;
    int64_t checkNumber = 0;
    int64_t total = 0;  // kopecks with on-sale taxes
    Payments paid;
    int64_t change = 0;
    PrinterClock printerTime;   // the printer's clock after closing
    int32_t failedLine = -1;
    std::string failedPath;
    bool cancelled = false;
    uint32_t errorNumber = 0;
    std::string errorWord;
    std::string message;        // UTF-8
};

using ProgressFn = std::function<void(const ProgressEvent&)>;

// Prints a parsed receipt as one check on a connected engine. A step that
// fails cancels the check (CANC).
PrintResult Print(PrinterEngine& engine, const Receipt& receipt, const ProgressFn& progress);

}  // namespace brenvik::receipt
