// Reports, non-fiscal documents, clock, drawer, cash and displays.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/fiscal/fiscal_helpers.h"
#include "engine/printer_engine.h"

namespace brenvik {

using fiscal::OrEmpty;

namespace {

constexpr int32_t kMaxZReportNumber = 9999;

// A date towards the printer is exactly eight digits; anything else would
// shift the second date of the command.
bool IsPrinterDate(const char* text) {
    if (std::strlen(text) != 8) return false;
    for (size_t i = 0; i < 8; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

}  // namespace

int32_t PrinterEngine::OpenTextDocument() { return 1; }

int32_t PrinterEngine::CloseTextDocument(int32_t printOnJornal) {
    if (Connected) {
        WriteLog("F:DBEG() Открытие служебного документа.");
        SendCommand(printOnJornal != 0 ? "DBEG1" : "DBEG0");
    }
    return ReconciledCommand("F:PRTX() Печать и закрытие служебного документа.", "PRTX", Moves::Documents);
}

// Every report is a document the printer counts; a Z-report also counts
// itself apart, and empties the day.
int32_t PrinterEngine::XReport() {
    return ReconciledCommand("F:ZREP() Х-отчет фискального регистратора", "ZREP1", Moves::Documents);
}

int32_t PrinterEngine::XReportAsync() { return XReport(); }

int32_t PrinterEngine::ZReport() {
    return ReconciledCommand("F:NREP() Z-отчет фискального регистратора", "NREP", Moves::ZReport);
}

int32_t PrinterEngine::ZReportAsync() { return ZReport(); }

int32_t PrinterEngine::PrintZeroZReport() {
    return ReconciledCommand("F:nrep() Открытие новой смены без регистрации оборотов.", "nrep", Moves::Documents);
}

int32_t PrinterEngine::ArticleReport() {
    return ReconciledCommand("F:ARTZ() Отчет по товарам", "ARTZ", Moves::Documents);
}

int32_t PrinterEngine::DiscountReport() {
    return ReconciledCommand("F:DIZV() Отчет по скидкам", "DIZV", Moves::Documents);
}

int32_t PrinterEngine::PeriodicalFiscalReport(int32_t firstZReport, int32_t lastZReport) {
    if (!Connected) return BoolResult();
    WriteLog("F:FIRN(%i, %i) Отчет ФП по номерам (полный)", firstZReport, lastZReport);
    char text[32] = "FIRN";
    if (firstZReport != 0 && lastZReport != 0) {
        // Z-report numbers have four digits; a wider or signed number would
        // move the second one and ask for another range than the caller's.
        if (firstZReport < 0 || firstZReport > kMaxZReportNumber || lastZReport < 0 ||
            lastZReport > kMaxZReportNumber) {
            RaiseError(kErrFieldOverflow);
            return 0;
        }
        std::snprintf(text, sizeof text, "FIRN%04i%04i", firstZReport, lastZReport);
    }
    Operation op;
    op.moves = Moves::Documents;
    SendReconciled(op, text);
    return BoolResult();
}

int32_t PrinterEngine::PeriodicalFiscalReportDate(const char* dateFrom, const char* dateTo) {
    if (!Connected) return BoolResult();
    const char* from = OrEmpty(dateFrom);
    const char* to = OrEmpty(dateTo);
    WriteLog("F:FIRP(%s, %s) Отчет ФП по датам (полный)", from, to);
    // An empty date is what a failed conversion leaves: sending FIRP alone
    // would print the whole fiscal memory, so it is refused like any other
    // date that is not eight digits.
    if (!IsPrinterDate(from) || !IsPrinterDate(to)) {
        RaiseError(kErrFieldOverflow);
        return 0;
    }
    char text[32] = {};
    std::snprintf(text, sizeof text, "FIRP%s%s", from, to);
    Operation op;
    op.moves = Moves::Documents;
    SendReconciled(op, text);
    return BoolResult();
}

int32_t PrinterEngine::Feed(int32_t linesToFeed) {
    if (!Connected) return BoolResult();
    WriteLog("F:FEED(%i) Прогон чековой ленты", linesToFeed);
    char text[32] = {};
    std::snprintf(text, sizeof text, "FEED%i", linesToFeed);
    SendCommand(text);
    return BoolResult();
}

int32_t PrinterEngine::OpenCashBox() {
    return SimpleCommand("F:KASS() Открытие денежного ящика", "KASS");
}

int32_t PrinterEngine::CutAndBeep(int32_t cutterOn, int32_t beepOn, int32_t partialCutOn) {
    if (!Connected) return BoolResult();
    const int cut = cutterOn == 1 ? 1 : 0;
    const int beep = beepOn == 1 ? 1 : 0;
    const int partial = partialCutOn == 1 ? 1 : 0;
    WriteLog("F:CUTR(%i, %i, %i) Управление работой обрезчика чековой ленты и звуковым сигналом.", cut,
             beep, partial);
    char text[16] = {};
    std::snprintf(text, sizeof text, "CUTR%i%i%i", cut, beep, partial);
    SendCommand(text);
    return BoolResult();
}

int32_t PrinterEngine::SetInternalTime(int32_t hours, int32_t minutes, int32_t seconds) {
    // Compared unsigned: a negative value is as invalid as a large one.
    if (static_cast<uint32_t>(hours) > 24 || static_cast<uint32_t>(minutes) >= 60 ||
        static_cast<uint32_t>(seconds) >= 60) {
        RaiseError(kErrInvalidTime);
        return 0;
    }
    char digits[8] = {};
    std::snprintf(digits, sizeof digits, "%02i%02i%02i", hours, minutes, seconds);
    if (Connected) {
        WriteLog("F:CTIM(%s) Корректировка часов реального времени", digits);
        char text[16] = {};
        std::snprintf(text, sizeof text, "CTIM%s", digits);
        SendCommand(text);
    }
    return BoolResult();
}

int32_t PrinterEngine::NullCheck() {
    if (!Connected) return BoolResult();
    WriteLog("F:NUL() Печать нулевого чека");
    Operation op;
    op.moves = Moves::CheckNumber;
    DrawerAfter(SendReconciled(op, "NULL"));
    // A zero check is a check: the number the next closing is measured
    // against is asked anew.
    LastCheckNumber[0] = '\0';
    return BoolResult();
}

int32_t PrinterEngine::MoveCash(int32_t moveDirection, int32_t cashSum) {
    // |INT32_MIN| has no signed 32-bit value to travel in.
    if (cashSum == INT32_MIN) {
        RaiseError(kErrFieldOverflow);
        return 0;
    }
    const int32_t magnitude = std::abs(cashSum);
    const uint32_t result = MoveCashCommand(moveDirection != 0 ? magnitude : -magnitude);
    return (result == 0 || result == kErrNotFiscalized) ? 1 : 0;
}

int32_t PrinterEngine::PutToDisplay(const char* line1, const char* line2) {
    const char* first = OrEmpty(line1);
    const char* second = OrEmpty(line2);
    if (first[0] == '\0' && second[0] == '\0') {
        return SimpleCommand("F:DISp() Вывод на индикатор клиента", "DISp");
    }
    // The amount in kopecks, rounded the way the display expects: printed
    // with no decimals and read back.
    const double scaled = std::atof(second) * 100.0;
    // The display field holds ten digits; a negative, unbounded or
    // not-a-number amount would print as something else than was asked.
    if (!(scaled > -0.5 && scaled < 4294967295.5)) {
        RaiseError(kErrFieldOverflow);
        return 0;
    }
    char rounded[32] = {};
    std::snprintf(rounded, sizeof rounded, "%.0f", scaled);
    const unsigned long amount = std::strtoul(rounded, nullptr, 10);
    if (!Connected) return BoolResult();
    WriteLog("F:DISp(%lu) Вывод на индикатор клиента", amount);
    char field[16] = {};
    std::snprintf(field, sizeof field, "%10lu", amount);
    // At least three digits show: 5 becomes 005, 42 becomes 042.
    if (amount < 10) field[8] = '0';
    if (amount < 100) field[7] = '0';
    char text[32] = {};
    std::snprintf(text, sizeof text, "DISp13%s", field);
    SendCommand(text);
    return BoolResult();
}

int32_t PrinterEngine::PutToExternalDisplay(const char* lineText, int32_t clearBeforePut) {
    if (!Connected) return BoolResult();
    const char* line = OrEmpty(lineText);
    WriteLog("F:DIsp(%s, %i) Выдача информации на выносной индикатор", line, clearBeforePut);
    // Sent as it stands; an over-long text is refused whole by SendCommand.
    std::string text = std::string("DIsp") + line;
    SendCommand(text.c_str());
    return BoolResult();
}

}  // namespace brenvik
