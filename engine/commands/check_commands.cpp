// Opening, closing and cash commands: PREP (after CANC), COMP and CAIO (each
// followed by KASS), BCHN.
#include <cstring>

#include "engine/commands/command_text.h"
#include "engine/printer_engine.h"

namespace brenvik {

using commands::CommandText;
using commands::LogU;
using commands::Magnitude;
using commands::Text;

uint32_t PrinterEngine::OpenCheckCommand(const char* department) {
    if (!Connected) return ErrorNumber;
    WriteLog("F:PREP(%s) Открытие фискального чека ----------------------------", Text(department));
    CommandText prep;
    prep.Add("PREP%s", Text(department));
    ToPrinterCodePage(prep.Data());
    // A check the printer still holds open is discarded before every new one.
    if (Connected) {
        WriteLog("F:CANC() Отмена фискального чека");
        CheckSumm = 0;
        CheckReturnSumm = 0;
        SendCommand("CANC");
    }
    SendCommand(prep.Data());
    return ErrorNumber;
}

void PrinterEngine::OpenDrawerKeepingOutcome() {
    uint32_t number = ErrorNumber;
    char code[kErrorCodeSize];
    CopyText(code, sizeof code, ErrorCode);
    if (Connected) {
        WriteLog("F:KASS() Открытие денежного ящика");
        SendCommand("KASS");
    }
    ErrorNumber = number;
    CopyText(ErrorCode, sizeof ErrorCode, code);
}

uint32_t PrinterEngine::CloseCheckCommand(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                          uint32_t a5, uint32_t a6) {
    if (!Connected) return ErrorNumber;
    WriteLog("F:COMP(%lu, %lu, %lu, %lu, %lu, %lu) Закрытие фискального чека "
             "----------------------------",
             LogU(a1), LogU(a2), LogU(a3), LogU(a4), LogU(a5), LogU(a6));
    if (a1 == 0 && a2 == 0 && a3 == 0 && a4 == 0 && a5 == 0 && a6 == 0) {
        // Nothing given: close on the engine's own totals, paid in cash.
        a1 = static_cast<uint32_t>(CheckSumm);
        a2 = static_cast<uint32_t>(CheckReturnSumm);
        if (a1 == 0) {
            a6 = a2;
        } else if (a2 == 0) {
            a6 = a1;
        } else if (a1 > a2) {
            a6 = a1 - a2;
        } else {
            a6 = 0;
        }
    }
    CommandText comp;
    comp.Add("COMP%010u%010u%010u%010u%010u%010u", a1, a2, a3, a4, a5, a6);
    Operation op;
    op.moves = Moves::Closing;
    op.amount = static_cast<int64_t>(a1) + a2;  // a check of nothing moves no register
    lastCloseOutcome_ = SendReconciled(op, comp.Data());
    // The totals go only with the check: a check the printer still holds is
    // closed later with the same amounts.
    const bool closed = lastCloseOutcome_ == Outcome::Done ||
                        lastCloseOutcome_ == Outcome::ReconciledDone;
    if (closed) {
        CheckSumm = 0;
        CheckReturnSumm = 0;
    }
    DrawerAfter(lastCloseOutcome_);
    return ErrorNumber;
}

// KASS after an operation of the drawer, unless the printer has just failed
// to answer twice.
void PrinterEngine::DrawerAfter(Outcome outcome) {
    if (outcome != Outcome::Unreachable) OpenDrawerKeepingOutcome();
}

uint32_t PrinterEngine::SetReturnCheckNumberCommand(const char* number) {
    if (!Connected) return ErrorNumber;
    WriteLog("F:BCHN(%s) Установка номера возвратного чека", Text(number));
    CommandText bchn;
    bchn.Add("BCHN%s", Text(number));
    ToPrinterCodePage(bchn.Data());
    SendCommand(bchn.Data());
    return ErrorNumber;
}

uint32_t PrinterEngine::MoveCashCommand(int32_t amount) {
    if (!Connected) return ErrorNumber;
    WriteLog("F:CAIO(%li) Служебное внесение/вынесение", commands::LogL(amount));
    CommandText caio;
    caio.Add("CAIO%c%010u", amount < 0 ? 'O' : 'I', Magnitude(amount));
    Operation op;
    op.moves = Moves::Cash;
    op.amount = amount;
    DrawerAfter(SendReconciled(op, caio.Data()));
    return ErrorNumber;
}

}  // namespace brenvik
