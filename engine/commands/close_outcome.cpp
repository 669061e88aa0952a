// The outcome of a closing command. A COMP whose reply is lost, cut short or
// garbled may or may not have closed the check; before anything is reported
// the printer is asked which, by the register that tells: the last check
// number (GLCN) on T3+ firmware, the day's sales and returns (CFIS) on other
// firmware.
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {

// CFIS fields: total at 0, return at 10 x 12 (twelve characters each).
constexpr size_t kDayFieldWidth = 12;
constexpr size_t kDayReturnOffset = 120;

void DayRegister(const char* fiscalInfo, size_t offset, char out[13]) {
    std::memset(out, 0, 13);
    if (std::strlen(fiscalInfo) >= offset + kDayFieldWidth)
        std::memcpy(out, fiscalInfo + offset, kDayFieldWidth);
}

const char* kDayRegistersLog = "F:CFIS() Запрос текущего состояния дневных фискальных регистров..";

}  // namespace

int32_t PrinterEngine::LastClosedCheck() const { return LeadingInteger(LastCheckNumber); }

PrinterEngine::CloseBaseline PrinterEngine::TakeCloseBaseline() {
    CloseBaseline b;
    if (T3PlusFirmware) {
        // Known from the start-up reads or the last COMP; asked only when not.
        if (LastCheckNumber[0] == '\0') ReadDocumentNumbers();
        CopyText(b.lastCheck, sizeof b.lastCheck, LastCheckNumber);
    } else if (DayRegistersBeforeClose) {
        WriteLog("%s", kDayRegistersLog);
        SendCommand("CFIS");
        if (blocksSeen_ & kBlockCfis) {
            DayRegister(FiscalInfoText, 0, b.daySales);
            DayRegister(FiscalInfoText, kDayReturnOffset, b.dayReturns);
        }
    }
    return b;
}

Outcome PrinterEngine::JudgeClose(const CloseBaseline& before, uint32_t sales, uint32_t returns) {
    const bool hasSums = (blocksSeen_ & kBlockComp) != 0;
    if (replyComplete_ && Succeeded() && hasSums) return Outcome::Done;
    // An error word in a whole reply without sums: the printer said no.
    if (replyComplete_ && !Succeeded() && !hasSums) return Outcome::Refused;
    return Reconcile(before, sales, returns);
}

Outcome PrinterEngine::Reconcile(const CloseBaseline& before, uint32_t sales, uint32_t returns) {
    const uint32_t compError = ErrorNumber;
    char compCode[kErrorCodeSize];
    CopyText(compCode, sizeof compCode, ErrorCode);
    WriteLog("Закрытие чека не подтверждено ответом регистратора: сверка");

    Outcome outcome = Outcome::Undecided;
    if ((blocksSeen_ & kBlockComp) && (compError == kErrTimeout || Succeeded())) {
        // The sums of a closed check came, only in a reply that did not end
        // as it should (another late reply before it): the printer closed it.
        outcome = Outcome::ReconciledDone;
    } else if (T3PlusFirmware) {
        if (before.lastCheck[0] != '\0') {
            ReadDocumentNumbers();
            if (blocksSeen_ & kBlockComp) {
                outcome = Outcome::ReconciledDone;  // the late reply to the COMP itself
            } else if (!(blocksSeen_ & kBlockGlcn)) {
                outcome = Outcome::Unreachable;
            } else {
                outcome = LeadingInteger(LastCheckNumber) != LeadingInteger(before.lastCheck)
                              ? Outcome::ReconciledDone
                              : Outcome::ReconciledNotDone;
            }
            if (outcome == Outcome::Unreachable) {
                // A failed read must not leave the number unknown or wrong.
                CopyText(LastCheckNumber, sizeof LastCheckNumber, before.lastCheck);
            }
            WriteLog("Сверка: номер последнего чека был %s, теперь %s", before.lastCheck, LastCheckNumber);
        }
    } else if (before.daySales[0] != '\0') {
        WriteLog("%s", kDayRegistersLog);
        SendCommand("CFIS");
        if (blocksSeen_ & kBlockComp) {
            outcome = Outcome::ReconciledDone;  // the late reply to the COMP itself
        } else if (!(blocksSeen_ & kBlockCfis)) {
            outcome = Outcome::Unreachable;
        } else {
            char nowSales[13], nowReturns[13];
            DayRegister(FiscalInfoText, 0, nowSales);
            DayRegister(FiscalInfoText, kDayReturnOffset, nowReturns);
            WriteLog("Сверка: дневные продажи были %s, теперь %s; возвраты были %s, теперь %s",
                     before.daySales, nowSales, before.dayReturns, nowReturns);
            if (std::strcmp(nowSales, before.daySales) != 0 ||
                std::strcmp(nowReturns, before.dayReturns) != 0) {
                outcome = Outcome::ReconciledDone;
            } else if (sales != 0 || returns != 0) {
                outcome = Outcome::ReconciledNotDone;
            }  // a check of nothing leaves the registers as they were either way
        }
    }

    switch (outcome) {
    case Outcome::ReconciledDone:
        WriteLog("Сверка: чек закрыт");
        ErrorNumber = 0;
        ErrorCode[0] = '\0';
        break;
    case Outcome::ReconciledNotDone:
        WriteLog("Сверка: чек не закрыт");
        break;
    case Outcome::Unreachable:
        WriteLog("Сверка: регистратор не отвечает, чек не закрыт");
        break;
    default:
        WriteLog("Сверка: состояние чека определить нельзя, чек не закрыт");
        break;
    }
    if (outcome != Outcome::ReconciledDone) {
        // The failure the caller sees is the closing's own, when it had one.
        if (compError != 0 && compError != kErrNotFiscalized) {
            ErrorNumber = compError;
            CopyText(ErrorCode, sizeof ErrorCode, compCode);
        } else if (Succeeded()) {
            RaiseError(kErrCloseUnconfirmed);
        }
    }
    return outcome;
}

}  // namespace brenvik
