// The reply layouts, decoded once. See readings.h.
#include "engine/fiscal/readings.h"

#include <cstring>

#include "engine/fiscal/fiscal_helpers.h"
#include "engine/printer_engine.h"

namespace brenvik {
namespace readings {

int64_t Number(const char* text, size_t digits) {
    int64_t value = 0;
    for (size_t k = 0; k < digits && text[k] != '\0'; ++k) {
        const char c = text[k];
        if (c == ' ') continue;
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

int64_t Field(const char* text, size_t offset, size_t width) {
    return std::strlen(text) >= offset + width ? Number(text + offset, width) : 0;
}

namespace {
int64_t At(const char* text, Span span) { return Field(text, span.offset, span.width); }
}  // namespace

PrinterClock Clock(const char* date8, const char* time6) {
    PrinterClock t;
    if (date8 != nullptr && std::strlen(date8) >= 8) {
        t.year = static_cast<int32_t>(Number(date8, 4));
        t.month = static_cast<int32_t>(Number(date8 + 4, 2));
        t.day = static_cast<int32_t>(Number(date8 + 6, 2));
    }
    if (time6 != nullptr && std::strlen(time6) >= 6) {
        t.hour = static_cast<int32_t>(Number(time6, 2));
        t.minute = static_cast<int32_t>(Number(time6 + 2, 2));
        t.second = static_cast<int32_t>(Number(time6 + 4, 2));
    }
    return t;
}

DocumentNumbers Documents(const char* lastCheck, const char* lastDoc, const char* lastServDoc, const char* zNumber,
                          const char* articleMode, const char* fiscalReportMade) {
    DocumentNumbers d;
    d.lastCheck = Number(lastCheck, 10);
    d.lastDocument = Number(lastDoc, 10);
    d.lastServiceDocument = Number(lastServDoc, 10);
    d.lastZReport = Number(zNumber, 4);
    d.articleMode = static_cast<int32_t>(Number(articleMode, 1));
    d.fiscalReportMade = Number(fiscalReportMade, 1) != 0;
    return d;
}

CashRegisters Cash(const char* ccas) {
    CashRegisters c;
    int64_t* fields[] = {&c.rest, &c.income, &c.outcome, &c.sales, &c.returns, &c.total, &c.checkIncome,
                         &c.checkOutcome};
    for (size_t k = 0; k < 8; ++k) *fields[k] = Field(ccas, k * kCashWidth, kCashWidth);
    return c;
}

DayRegisters Day(const char* cfis) {
    DayRegisters d;
    d.total = At(cfis, kDayTotal);
    for (size_t k = 0; k < 8; ++k) d.taxTotal[k] = Field(cfis, (1 + k) * kDayWidth, kDayWidth);
    d.untaxedTotal = Field(cfis, 9 * kDayWidth, kDayWidth);
    d.returns = At(cfis, kDayReturns);
    for (size_t k = 0; k < 8; ++k) d.taxReturn[k] = Field(cfis, (11 + k) * kDayWidth, kDayWidth);
    d.untaxedReturn = Field(cfis, 19 * kDayWidth, kDayWidth);
    return d;
}

CheckTotals Totals(const char* comp) {
    CheckTotals t;
    int64_t* fields[] = {&t.checkNumber,         &t.total,       &t.onSaleTaxes,
                         &t.includedTaxes,       &t.saleIncludedTaxes, &t.returnTotal,
                         &t.returnOnSaleTaxes,   &t.returnIncludedTaxes, &t.returnSaleIncludedTaxes};
    for (size_t k = 0; k < 9; ++k) *fields[k] = Field(comp, k * 10, 10);
    return t;
}

TaxGroup Tax(const char* record) {
    TaxGroup tax;
    // An unprogrammed group answers zeros in every place.
    if (std::strlen(record) < 14 || std::strncmp(record, "00000000000000", 14) == 0) return tax;
    tax.programmed = true;
    tax.since = Clock(record, nullptr);
    tax.type = record[9];
    tax.rate = static_cast<int32_t>(Number(record + 10, 4));
    return tax;
}

bool Article(const std::string& artd, ArticleRecord& out) {
    if (artd.size() < 56) return false;
    out.index = static_cast<int32_t>(Number(artd.c_str(), 4));
    out.name = artd.substr(4, 24);
    out.weighed = artd[28] == '1';
    out.taxes = artd.substr(29, 8);
    out.soldQuantity = Number(artd.c_str() + 37, 10);
    out.saleSum = Number(artd.c_str() + 47, 10);
    out.longCode = artd.size() > 56 ? Number(artd.c_str() + 56, 9) : 0;
    return true;
}

}  // namespace readings

// ---- The engine's typed reads --------------------------------------------

bool PrinterEngine::ReadConfigValues(ConfigValues& out) {
    ReadPrinterConfig();
    if (!Succeeded()) return false;
    ConfigValues v;
    v.serialNumber = SerialNumber;
    v.fiscalNumber = FiscalNumber;
    v.owner = Owner;
    v.time = readings::Clock(PrinterDate, PrinterTime);
    v.keyLetter = fiscal::KeyLetter(KeyPosition[0])[0];
    v.keyNumber = fiscal::KeyNumber(KeyPosition[0]);
    v.checkNumber = readings::Number(CheckNumber, sizeof CheckNumber - 1);
    v.variant = PrinterVariant;
    v.firmwareDate = FirmwareDate;
    v.currencyDate = CurrencyDate;
    v.decimalPoint = static_cast<int32_t>(readings::Number(DecPointPosition, 1));
    v.currency = CurrencyName;
    out = std::move(v);
    return true;
}

bool PrinterEngine::ReadDocuments(DocumentNumbers& out) {
    GetDocumentsInfo();
    if (!Succeeded()) return false;
    out = readings::Documents(LastCheckNumber, LastDocNumber, LastServDocNumber, LastZReportNumber, ArticleMode,
                              FiscalReportMade);
    return true;
}

bool PrinterEngine::ReadCash(CashRegisters& out) {
    const char* text = GetCashInfo();
    if (!Succeeded()) return false;
    out = readings::Cash(text);
    return true;
}

bool PrinterEngine::ReadDay(DayRegisters& out) {
    const char* text = GetFiscalInfo();
    if (!Succeeded()) return false;
    out = readings::Day(text);
    return true;
}

bool PrinterEngine::ReadTaxGroups(TaxGroup (&out)[8]) {
    ReadTaxRates();
    if (!Succeeded()) return false;
    for (size_t k = 0; k < 8; ++k) out[k] = readings::Tax(TaxRateTable[k]);
    return true;
}

bool PrinterEngine::ReadArticleRecord(int32_t article, ArticleRecord& out) {
    const std::string text = GetArticleInfo(article);
    if (!Succeeded()) return false;
    ArticleRecord record;
    if (readings::Article(text, record)) out = std::move(record);
    return true;
}

bool PrinterEngine::ReadClock(PrinterClock& out) {
    GetPrinterTime();
    if (!Succeeded()) return false;
    out = readings::Clock(PrinterDate, PrinterTime);
    return true;
}

CheckTotals PrinterEngine::LastCheckTotals() const { return readings::Totals(CheckResultText); }

PrinterClock PrinterEngine::KnownClock() const { return readings::Clock(PrinterDate, PrinterTime); }

}  // namespace brenvik
