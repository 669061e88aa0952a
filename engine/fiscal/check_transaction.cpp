// The check kept across calls: opening, lines, storno, closing, totals.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/fiscal/fiscal_helpers.h"
#include "engine/printer_engine.h"

namespace brenvik {

using fiscal::OrEmpty;

namespace {

constexpr size_t kReturnCheckNumbersMax = 86;

// |sales + taxes - return taxes - returns|, in 64 bits so that no total
// can overflow on the way.
uint32_t CheckTotal(const PrinterEngine& e) {
    int64_t t = static_cast<int64_t>(e.CheckSumm) + e.CheckOnSaleTaxes - e.CheckReturnOnSaleTaxes -
                e.CheckReturnSumm;
    if (t < 0) t = -t;
    return static_cast<uint32_t>(t);
}

void LogTotals(PrinterEngine& e) {
    e.WriteLog("F:CheckSumm=%i", e.CheckSumm);
    e.WriteLog("F:CheckOnSaleTaxes=%i", e.CheckOnSaleTaxes);
    e.WriteLog("F:CheckReturnSumm=%i", e.CheckReturnSumm);
    e.WriteLog("F:CheckReturnOnSaleTaxes=%i", e.CheckReturnOnSaleTaxes);
}

}  // namespace

int32_t PrinterEngine::OpenCheck(const char* department) {
    lastAccepted_.valid = false;
    CheckDirection = 0;
    CheckOnSaleTaxes = 0;
    CheckReturnOnSaleTaxes = 0;
    OpenCheckCommand(OrEmpty(department));
    return BoolResult();
}

int32_t PrinterEngine::OpenReturnCheck(const char* department) {
    int32_t result = OpenCheck(department);
    CheckDirection = 1;
    return result;
}

int32_t PrinterEngine::SetCurrentCheckDirection(int32_t direction) {
    CheckDirection = direction == 1 ? 1 : 0;
    return 1;
}

int32_t PrinterEngine::FiscalLine(const char* name, int32_t qty, int32_t price, int32_t goodsDividual,
                                  int32_t tax1Index, int32_t tax2Index, int32_t article) {
    return FiscalLineEx(name, qty, price, goodsDividual, tax1Index, tax2Index, article, 2, "", 0);
}

int32_t PrinterEngine::FiscalLineEx(const char* name, int32_t qty, int32_t price, int32_t goodsDividual,
                                    int32_t tax1Index, int32_t tax2Index, int32_t article,
                                    int32_t discountDirection, const char* discountName,
                                    int32_t discountValue) {
    LastLineSum = 0;
    // The taxes belong to this line only: a reply without them (a refused
    // line, the long format) must not leave the previous line's for Storn.
    std::memset(LastLineTaxes, 0, sizeof LastLineTaxes);
    if (qty > MaxQuantity) {
        RaiseError(kErrTooBigQty);
        return 0;
    }
    if (!TaxIsProgrammed(tax1Index, tax2Index)) {
        RaiseError(kErrInvalidTax);
        return 0;
    }

    SaleLine line;
    for (int32_t index : {tax1Index, tax2Index}) {
        if (index >= 1 && index <= 8) line.taxes[index - 1] = 1;
    }
    const int32_t sum = LineSum(qty, price, goodsDividual == 1);
    LastLineSum = sum;

    // The magnitude of the smallest int32 has no int32; the largest one is
    // already wider than any discount field, so the encoder refuses it.
    int32_t magnitude = discountValue == INT32_MIN ? INT32_MAX : std::abs(discountValue);
    int32_t discount = 0;
    if (discountDirection == 0) discount = -magnitude;
    if (discountDirection == 1) discount = magnitude;

    line.name = OrEmpty(name);
    line.sum = sum;
    line.price = price;
    line.quantity = qty;
    line.pieceFlag = goodsDividual == 0 ? 1 : 0;
    line.lineType = 0;
    line.article = article;
    line.discountName = OrEmpty(discountName);
    line.discount = discount;
    const int32_t salesBefore = CheckSumm;
    const int32_t returnsBefore = CheckReturnSumm;
    const bool returnSide = CheckDirection == 1;
    uint32_t result = returnSide ? ReturnUniversal(line) : RegistrUniversal(line);
    const bool accepted = result == 0 || result == kErrNotFiscalized;
    // A line the printer refused is not in its check: keep it out of the
    // closing amounts, and out of reach of Storn. After a lost reply the
    // printer may well have taken the line, so that case stays counted.
    if (accepted || result == kErrTimeout) {
        lastAccepted_ = AcceptedLine{sum, discount, LeadingInteger(LastLineTaxes), returnSide, true};
    } else {
        CheckSumm = salesBefore;
        CheckReturnSumm = returnsBefore;
        LastLineSum = 0;
    }
    return accepted ? sum : 0;
}

int32_t PrinterEngine::Storn() {
    if (!Connected) return BoolResult();
    WriteLog("F:STRN() Удаление предыдущей  фискальной позиции чека.");
    SendCommand("STRN");
    // Only a line the printer has really cancelled leaves the totals;
    // otherwise the closing amounts would no longer match the printer's.
    if (!Succeeded()) return 0;
    if (!lastAccepted_.valid) return 1;  // nothing of ours to take back
    const AcceptedLine& l = lastAccepted_;
    // The running total took the line in with its discount or surcharge.
    const int64_t line = static_cast<int64_t>(l.sum) + l.discount;
    if (l.returnSide) {
        CheckReturnSumm = WrapAdd(CheckReturnSumm, -line);
        CheckReturnOnSaleTaxes = WrapAdd(CheckReturnOnSaleTaxes, -static_cast<int64_t>(l.taxes));
        WriteLog("Сумма предыдущей строки возврата=%i", l.sum);
    } else {
        CheckSumm = WrapAdd(CheckSumm, -line);
        CheckOnSaleTaxes = WrapAdd(CheckOnSaleTaxes, -static_cast<int64_t>(l.taxes));
        WriteLog("Сумма предыдущей строки продажи=%i", l.sum);
    }
    return 1;
}

int32_t PrinterEngine::CloseCheck() {
    LogTotals(*this);
    WriteLog("F:CheckSumm=%i", CheckSumm);
    WriteLog("F:CheckReturnSumm=%i", CheckReturnSumm);
    const uint32_t total = CheckTotal(*this);
    CloseCheckCommand(static_cast<uint32_t>(CheckSumm), static_cast<uint32_t>(CheckReturnSumm), 0, 0,
                      0, total);
    return Succeeded() ? static_cast<int32_t>(total) : 0;
}

int32_t PrinterEngine::CloseCheckEx(int32_t cash, int32_t payCheck, int32_t credit, int32_t packing) {
    LogTotals(*this);
    LogTotals(*this);
    const uint32_t total = CheckTotal(*this);
    // A negative payment would travel as a ten-digit unsigned amount and be
    // taken for a payment of millions: refuse it and leave the check open.
    if (cash < 0 || payCheck < 0 || credit < 0 || packing < 0) {
        RaiseError(kErrFieldOverflow);
        WriteLog("F:Результат CloseCheckEx = 0");
        return 0;
    }
    const uint32_t sales = static_cast<uint32_t>(WrapAdd(CheckSumm, CheckOnSaleTaxes));
    const uint32_t returns = static_cast<uint32_t>(WrapAdd(CheckReturnSumm, CheckReturnOnSaleTaxes));
    CloseCheckCommand(sales, returns, static_cast<uint32_t>(packing), static_cast<uint32_t>(payCheck),
                      static_cast<uint32_t>(credit), static_cast<uint32_t>(cash));
    if (Succeeded()) {
        WriteLog("F:Результат CloseCheckEx = %i", static_cast<int32_t>(total));
        return static_cast<int32_t>(total);
    }
    WriteLog("F:Результат CloseCheckEx = 0");
    return 0;
}

int32_t PrinterEngine::AbortCheck() {
    lastAccepted_.valid = false;
    CheckSumm = 0;
    CheckReturnSumm = 0;
    CheckOnSaleTaxes = 0;
    CheckReturnOnSaleTaxes = 0;
    return SimpleCommand("F:CANC() Отмена фискального чека", "CANC");
}

int32_t PrinterEngine::GetCheckSum() {
    WriteLog("F:CheckSumm=%i", CheckSumm);
    return CheckSumm;
}

int32_t PrinterEngine::GetCheckOnSaleTaxes() {
    WriteLog("F:CheckOnSaleTaxes=%i", CheckOnSaleTaxes);
    return CheckOnSaleTaxes;
}

int32_t PrinterEngine::GetCheckReturnSum() {
    WriteLog("F:CheckReturnSumm=%i", CheckReturnSumm);
    return CheckReturnSumm;
}

int32_t PrinterEngine::GetCheckReturnOnSaleTaxes() {
    WriteLog("F:CheckReturnOnSaleTaxes=%i", CheckReturnOnSaleTaxes);
    return CheckReturnOnSaleTaxes;
}

int32_t PrinterEngine::GetLastLineTaxes() {
    WriteLog("F:LastLineTaxes=%s", LastLineTaxes);
    return LeadingInteger(LastLineTaxes);
}

const char* PrinterEngine::GetCheckResult() {
    ResultBuffer[0] = '\0';
    if (CheckResultText[0] == '\0') return kEmptyText;
    // Six groups of ten, each closed by ";"; the bytes are walked over the
    // whole field, so a zero byte inside a group only adds nothing.
    size_t out = 0;
    for (size_t group = 0; group < 6; ++group) {
        for (size_t i = group * 10; i < group * 10 + 10 && i < sizeof CheckResultText; ++i) {
            if (CheckResultText[i] != '\0') ResultBuffer[out++] = CheckResultText[i];
        }
        ResultBuffer[out++] = ';';
    }
    ResultBuffer[out] = '\0';
    return ResultBuffer;
}

int32_t PrinterEngine::SetReturnCheckNumber(int32_t checkNumber) {
    char number[16] = {};
    std::snprintf(number, sizeof number, "%i", checkNumber);
    SetReturnCheckNumberCommand(number);
    return BoolResult();
}

int32_t PrinterEngine::SetReturnCheckNumberStr(const char* checkNumbers) {
    char numbers[kReturnCheckNumbersMax + 1] = {};
    CopyText(numbers, sizeof numbers, OrEmpty(checkNumbers));
    SetReturnCheckNumberCommand(numbers);
    return BoolResult();
}

int32_t PrinterEngine::CheckCopy() {
    return ReconciledCommand("F:COPY() Печать копии чека", "COPY", Moves::Nothing);
}

}  // namespace brenvik
