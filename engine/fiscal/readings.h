// What the printer reports, as numbers. The reply layouts (field offsets and
// widths of CONf, GLCN, CCAS, CFIS, ARTD, CNAL and the closing's COMP) are
// known here and nowhere else; the C API, the receipt document and the
// reconciliation all read these.
#pragma once

#include <cstdint>
#include <string>

namespace brenvik {

struct PrinterClock {
    int32_t year = 0, month = 0, day = 0;  // all zero when unknown
    int32_t hour = 0, minute = 0, second = 0;
};

struct ConfigValues {
    std::string serialNumber;  // code page 1251, as the printer keeps them
    std::string fiscalNumber;
    std::string owner;
    PrinterClock time;
    char keyLetter = 'O';      // R, X, Z, P or O
    int32_t keyNumber = 0;     // 1 R, 2 X, 3 Z, 4 P, 0 O
    int64_t checkNumber = 0;
    std::string variant;
    std::string firmwareDate;  // YYYYMMDD
    std::string currencyDate;
    int32_t decimalPoint = 0;
    std::string currency;
};

// GLCN (T3+ firmware only; zero elsewhere).
struct DocumentNumbers {
    int64_t lastCheck = 0;
    int64_t lastDocument = 0;
    int64_t lastServiceDocument = 0;
    int64_t lastZReport = 0;
    int32_t articleMode = 0;
    bool fiscalReportMade = false;
};

// CCAS, kopecks.
struct CashRegisters {
    int64_t rest = 0, income = 0, outcome = 0, sales = 0, returns = 0, total = 0;
    int64_t checkIncome = 0, checkOutcome = 0;
};

// CFIS, kopecks; index 0 is tax group 1.
struct DayRegisters {
    int64_t total = 0;
    int64_t taxTotal[8] = {};
    int64_t untaxedTotal = 0;
    int64_t returns = 0;
    int64_t taxReturn[8] = {};
    int64_t untaxedReturn = 0;
};

// The closing's COMP block, kopecks.
struct CheckTotals {
    int64_t checkNumber = 0, total = 0, onSaleTaxes = 0, includedTaxes = 0, saleIncludedTaxes = 0;
    int64_t returnTotal = 0, returnOnSaleTaxes = 0, returnIncludedTaxes = 0, returnSaleIncludedTaxes = 0;
};

// One CNAL record.
struct TaxGroup {
    bool programmed = false;
    PrinterClock since;        // the date only
    char type = 0;             // the type character, code page 1251
    int32_t rate = 0;          // hundredths of a percent
};

// ARTD.
struct ArticleRecord {
    int32_t index = 0;
    std::string name;          // code page 1251
    bool weighed = false;
    std::string taxes;         // the eight tax marks
    int64_t soldQuantity = 0;
    int64_t saleSum = 0;
    int64_t longCode = 0;
};

namespace readings {

// Where a field lies in a reply text.
struct Span {
    size_t offset;
    size_t width;
};
// CCAS: eight fields of eleven characters: rest, income, outcome, sales,
// returns, total, check income, check outcome.
constexpr size_t kCashWidth = 11;
constexpr Span kCashIncome{11, kCashWidth};
constexpr Span kCashOutcome{22, kCashWidth};
// CFIS: twenty fields of twelve: the total, eight tax groups, untaxed, then
// the same for returns.
constexpr size_t kDayWidth = 12;
constexpr Span kDayTotal{0, kDayWidth};
constexpr Span kDayReturns{10 * kDayWidth, kDayWidth};

// `digits` characters of `text` as a decimal number; blanks are skipped,
// anything else ends it. 0 for a missing field.
int64_t Number(const char* text, size_t digits);
// A field at `offset` of a reply text, or 0 when the reply is shorter.
int64_t Field(const char* text, size_t offset, size_t width);

PrinterClock Clock(const char* date8, const char* time6);
DocumentNumbers Documents(const char* lastCheck, const char* lastDoc, const char* lastServDoc,
                          const char* zNumber, const char* articleMode, const char* fiscalReportMade);
CashRegisters Cash(const char* ccas);
DayRegisters Day(const char* cfis);
CheckTotals Totals(const char* comp);
TaxGroup Tax(const char* cnalRecord);
// false when the record is too short to be one.
bool Article(const std::string& artd, ArticleRecord& out);

}  // namespace readings
}  // namespace brenvik
