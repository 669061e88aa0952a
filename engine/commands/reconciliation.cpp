// Reconciliation. An operation that changes the printer's state (a closing,
// a report, a text document, a zero check, a copy, cash in or out) and whose
// reply is lost, cut short or garbled may or may not have been carried out.
// Before anything is reported the printer is asked which: first by waiting
// for its late reply, then by the counter the operation moves, read before
// the command was sent and again now: the last check number, the document
// numbers or the Z-report number (GLCN, T3+ firmware), the cash registers
// (CCAS), the day's registers (CFIS, other firmware). When nothing can
// tell, the operation fails with error 95, never with a bare time-out.
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {

// The characters of a reply text at `span` into `out` (width + 1 bytes);
// the empty text when the reply was shorter.
void Field(const char* text, readings::Span span, char* out) {
    std::memset(out, 0, span.width + 1);
    if (std::strlen(text) >= span.offset + span.width) std::memcpy(out, text + span.offset, span.width);
}

bool Same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool AllZero(const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text != '0' && *text != ' ') return false;
    }
    return true;
}

const char kDocumentsLog[] = "F:GLCN() Запрос номеров чеков, документов, отчетов";
const char kCashLog[] = "F:CCAS() Запрос информации о движении средств по кассе.";
const char kDayLog[] = "F:CFIS() Запрос текущего состояния дневных фискальных регистров..";

}  // namespace

int32_t PrinterEngine::LastClosedCheck() const { return LeadingInteger(LastCheckNumber); }

int32_t PrinterEngine::KnownLastCheck() {
    if (Connected && T3PlusFirmware && LastCheckNumber[0] == '\0') ReadDocumentNumbers();
    return LastClosedCheck();
}

PrinterEngine::Counters PrinterEngine::ReadCounters(const Operation& op, bool beforeSending) {
    Counters c;
    const bool t3 = T3PlusFirmware != 0;
    bool documents = false, cash = false, day = false;
    switch (op.moves) {
    case Moves::Nothing:
        break;
    case Moves::CheckNumber:
    case Moves::Documents:
        documents = t3;
        break;
    case Moves::ZReport:
        documents = t3;
        cash = day = !t3;
        break;
    case Moves::Cash:
        cash = true;
        documents = t3 && op.amount == 0;  // nothing to count in the drawer
        break;
    case Moves::Closing:
        documents = t3;
        day = !t3 && DayRegistersBeforeClose;
        break;
    }
    if (documents) {
        char known[11];
        CopyText(known, sizeof known, LastCheckNumber);
        // A closing is measured against the number the engine keeps from
        // the start-up reads and every COMP: asked only when not known.
        const bool ask = !(op.moves == Moves::Closing && beforeSending && known[0] != '\0');
        if (ask) {
            WriteLog("%s", kDocumentsLog);
            SendCommand("GLCN");
            c.sums = (blocksSeen_ & kBlockComp) != 0;
        }
        c.documents = !ask || (blocksSeen_ & kBlockGlcn) != 0;
        if (!c.documents) {
            // A failed read must not leave the number unknown or wrong.
            CopyText(LastCheckNumber, sizeof LastCheckNumber, known);
        } else {
            CopyText(c.lastCheck, sizeof c.lastCheck, LastCheckNumber);
            if (ask) {
                CopyText(c.lastDoc, sizeof c.lastDoc, LastDocNumber);
                CopyText(c.lastServDoc, sizeof c.lastServDoc, LastServDocNumber);
                CopyText(c.zNumber, sizeof c.zNumber, LastZReportNumber);
            }
        }
    }
    if (cash) {
        WriteLog("%s", kCashLog);
        SendCommand("CCAS");
        c.sums = c.sums || (blocksSeen_ & kBlockComp) != 0;
        c.cash = (blocksSeen_ & kBlockCcas) != 0;
        if (c.cash) {
            Field(CashInfoText, readings::kCashIncome, c.cashIn);
            Field(CashInfoText, readings::kCashOutcome, c.cashOut);
        }
    }
    if (day) {
        WriteLog("%s", kDayLog);
        SendCommand("CFIS");
        c.sums = c.sums || (blocksSeen_ & kBlockComp) != 0;
        c.day = (blocksSeen_ & kBlockCfis) != 0;
        if (c.day) {
            Field(FiscalInfoText, readings::kDayTotal, c.daySales);
            Field(FiscalInfoText, readings::kDayReturns, c.dayReturns);
        }
    }
    return c;
}

Outcome PrinterEngine::SendReconciled(Operation& op, const char* text) {
    op.before = ReadCounters(op, true);
    SendCommand(text);
    lastOutcome_ = Judge(op);
    return lastOutcome_;
}

int32_t PrinterEngine::ReconciledCommand(const char* logLine, const char* text, Moves moves) {
    if (!Connected) return BoolResult();
    WriteLog("%s", logLine);
    Operation op;
    op.moves = moves;
    SendReconciled(op, text);
    return BoolResult();
}

Outcome PrinterEngine::Judge(Operation& op) {
    if (op.moves == Moves::Closing) {
        const bool hasSums = (blocksSeen_ & kBlockComp) != 0;
        if (replyComplete_ && Succeeded() && hasSums) return Outcome::Done;
        // An error word in a whole reply without sums: the printer said no.
        if (replyComplete_ && !Succeeded() && !hasSums) return Outcome::Refused;
    } else {
        // A printer not yet fiscalized answers its refusal word and works.
        if (replyComplete_ && Succeeded() && (doneSeen_ || ErrorNumber == kErrNotFiscalized)) return Outcome::Done;
        if (replyComplete_ && !Succeeded()) return Outcome::Refused;
    }
    return Reconcile(op);
}

Outcome PrinterEngine::Compare(const Operation& op, const Counters& after) {
    const Counters& b = op.before;
    auto moved = [](const char* was, const char* now) { return LeadingInteger(was) != LeadingInteger(now); };
    // By the document numbers (T3+ firmware): the check number alone, or
    // the document and service-document numbers.
    auto byDocuments = [&](bool checkOnly) {
        if (!b.documents) return Outcome::Undecided;
        if (!after.documents) return Outcome::Unreachable;
        WriteLog("Сверка: номера чека, документа и служебного документа были %s, %s, %s, теперь %s, %s, %s",
                 b.lastCheck, b.lastDoc, b.lastServDoc, after.lastCheck, after.lastDoc, after.lastServDoc);
        const bool done = checkOnly ? moved(b.lastCheck, after.lastCheck)
                                    : moved(b.lastDoc, after.lastDoc) || moved(b.lastServDoc, after.lastServDoc);
        return done ? Outcome::ReconciledDone : Outcome::ReconciledNotDone;
    };
    switch (op.moves) {
    case Moves::Nothing:
        return Outcome::Undecided;
    case Moves::CheckNumber:
    case Moves::Documents:
        return byDocuments(op.moves == Moves::CheckNumber);
    case Moves::ZReport:
        if (b.documents) {
            if (!after.documents) return Outcome::Unreachable;
            WriteLog("Сверка: номер Z-отчета был %s, теперь %s", b.zNumber, after.zNumber);
            return moved(b.zNumber, after.zNumber) ? Outcome::ReconciledDone : Outcome::ReconciledNotDone;
        }
        if (!b.cash || !b.day) return Outcome::Undecided;
        if (!after.cash || !after.day) return Outcome::Unreachable;
        WriteLog("Сверка: дневные продажи были %s, теперь %s; возвраты были %s, теперь %s", b.daySales,
                 after.daySales, b.dayReturns, after.dayReturns);
        WriteLog("Сверка: внесения были %s, теперь %s; выплаты были %s, теперь %s", b.cashIn, after.cashIn,
                 b.cashOut, after.cashOut);
        // A Z-report empties the day; nothing else runs meanwhile.
        if (!Same(b.daySales, after.daySales) || !Same(b.dayReturns, after.dayReturns) ||
            !Same(b.cashIn, after.cashIn) || !Same(b.cashOut, after.cashOut))
            return Outcome::ReconciledDone;
        // A day of nothing looks the same before and after its Z-report.
        if (AllZero(b.daySales) && AllZero(b.dayReturns) && AllZero(b.cashIn) && AllZero(b.cashOut))
            return Outcome::Undecided;
        return Outcome::ReconciledNotDone;
    case Moves::Cash:
        if (!b.cash) return Outcome::Undecided;
        if (!after.cash) return Outcome::Unreachable;
        WriteLog("Сверка: внесения были %s, теперь %s; выплаты были %s, теперь %s", b.cashIn, after.cashIn,
                 b.cashOut, after.cashOut);
        if (!Same(b.cashIn, after.cashIn) || !Same(b.cashOut, after.cashOut)) return Outcome::ReconciledDone;
        if (op.amount != 0) return Outcome::ReconciledNotDone;
        // Nothing moved in the drawer either way: its document tells.
        return byDocuments(false);
    case Moves::Closing:
        if (b.documents) {
            if (!after.documents) return Outcome::Unreachable;
            WriteLog("Сверка: номер последнего чека был %s, теперь %s", b.lastCheck, after.lastCheck);
            return moved(b.lastCheck, after.lastCheck) ? Outcome::ReconciledDone : Outcome::ReconciledNotDone;
        }
        if (!b.day) return Outcome::Undecided;
        if (!after.day) return Outcome::Unreachable;
        WriteLog("Сверка: дневные продажи были %s, теперь %s; возвраты были %s, теперь %s", b.daySales,
                 after.daySales, b.dayReturns, after.dayReturns);
        if (!Same(b.daySales, after.daySales) || !Same(b.dayReturns, after.dayReturns))
            return Outcome::ReconciledDone;
        // A check of nothing leaves the registers as they were either way.
        return op.amount != 0 ? Outcome::ReconciledNotDone : Outcome::Undecided;
    }
    return Outcome::Undecided;
}

Outcome PrinterEngine::Reconcile(Operation& op) {
    const bool closing = op.moves == Moves::Closing;
    uint32_t opError = ErrorNumber;
    char opCode[kErrorCodeSize];
    CopyText(opCode, sizeof opCode, ErrorCode);
    WriteLog(closing ? "Закрытие чека не подтверждено ответом регистратора: сверка"
                     : "Операция не подтверждена ответом регистратора: сверка");

    Outcome outcome = Outcome::Undecided;
    bool decided = false;
    if (closing && (blocksSeen_ & kBlockComp) && (opError == kErrTimeout || Succeeded())) {
        // The sums of a closed check came, only in a reply that did not end
        // as it should (another late reply before it): the printer closed it.
        outcome = Outcome::ReconciledDone;
        decided = true;
    } else if (owedReply_ || lastReplyBytes_ == 0) {
        // The printer may still be answering (a long report prints first).
        if (AwaitLateReply()) {
            const bool confirmed = closing ? (blocksSeen_ & kBlockComp) != 0
                                           : Succeeded() && (doneSeen_ || ErrorNumber == kErrNotFiscalized);
            if (confirmed) {
                WriteLog("Сверка: получен поздний ответ регистратора");
                outcome = Outcome::ReconciledDone;
                decided = true;
            } else if (!Succeeded()) {
                outcome = Outcome::Refused;  // late, but a refusal all the same
                opError = ErrorNumber;
                CopyText(opCode, sizeof opCode, ErrorCode);
                decided = true;
            }
        }
    }
    if (!decided) {
        const Counters after = ReadCounters(op, false);
        // The late reply to the COMP itself, in front of the read's own.
        outcome = closing && after.sums ? Outcome::ReconciledDone : Compare(op, after);
    }

    switch (outcome) {
    case Outcome::ReconciledDone:
        WriteLog(closing ? "Сверка: чек закрыт" : "Сверка: операция выполнена");
        ErrorNumber = 0;
        ErrorCode[0] = '\0';
        break;
    case Outcome::ReconciledNotDone:
        WriteLog(closing ? "Сверка: чек не закрыт" : "Сверка: операция не выполнена");
        // The failure the caller sees is the operation's own, when it had one.
        if (opError != 0 && opError != kErrNotFiscalized) {
            ErrorNumber = opError;
            CopyText(ErrorCode, sizeof ErrorCode, opCode);
        } else {
            RaiseError(closing ? kErrCloseUnconfirmed : kErrNotDone);
        }
        break;
    case Outcome::Refused:
        ErrorNumber = opError;
        CopyText(ErrorCode, sizeof ErrorCode, opCode);
        break;
    case Outcome::Unreachable:
        WriteLog(closing ? "Сверка: регистратор не отвечает, закрыт ли чек, неизвестно"
                         : "Сверка: регистратор не отвечает, выполнена ли операция, неизвестно");
        RaiseError(kErrUnconfirmed);
        break;
    default:
        WriteLog(closing ? "Сверка: закрыт ли чек, определить нельзя"
                         : "Сверка: выполнена ли операция, определить нельзя");
        RaiseError(kErrUnconfirmed);
        break;
    }
    return outcome;
}

}  // namespace brenvik
