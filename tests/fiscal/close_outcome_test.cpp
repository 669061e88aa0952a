// Closing a check when the printer's answer cannot be trusted: the engine
// asks the printer what happened before it reports, and keeps the check's
// totals unless the printer has closed it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

constexpr int32_t kTotal = 500;

std::vector<std::string> Words(const Harness& h) {
    std::vector<std::string> out;
    for (const auto& c : h.line.Commands()) out.push_back(c.substr(0, 4));
    return out;
}

// A connected engine with one open check of 5.00, T3+ firmware unless
// `otherFirmware`; the printer's last check is 42.
void OpenCheckOf500(Harness& h, bool otherFirmware = false) {
    if (otherFirmware) h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20040101"));
    ASSERT_EQ(1, h.Connect());
    ASSERT_EQ(otherFirmware ? 0 : 1, h.engine->T3PlusFirmware);
    h.engine->OpenCheck("1");
    ASSERT_EQ(kTotal, h.engine->FiscalLine("Milk", 1, kTotal, 0, 1, 0, 1));
    h.Forget();
}

void ExpectClosed(Harness& h, int32_t result, Outcome outcome) {
    EXPECT_EQ(kTotal, result);
    EXPECT_EQ(outcome, h.engine->LastCloseOutcome());
    EXPECT_EQ(0, h.engine->CheckSumm);
    EXPECT_TRUE(h.engine->Succeeded());
}

void ExpectOpen(Harness& h, int32_t result, Outcome outcome, uint32_t error) {
    EXPECT_EQ(0, result);
    EXPECT_EQ(outcome, h.engine->LastCloseOutcome());
    EXPECT_EQ(kTotal, h.engine->CheckSumm);
    EXPECT_EQ(error, h.engine->ErrorNumber);
}

// Day registers of other firmware: total sales at 0, returns at 120.
std::string DayRegisters(int sales) {
    char total[16];
    std::snprintf(total, sizeof total, "%012d", sales);
    return "CFIS" + std::string(total) + std::string(228, '0');
}

TEST(UncertainClose, DocumentNumbersDecideOnT3Plus) {
    const std::string sums = Printer::CompData(43, kTotal);
    const struct {
        const char* what;
        std::string reply;  // to COMP
        uint32_t errorWhenOpen;
    } replies[] = {
        {"lost", "", kErrTimeout},
        {"no sums", DoneReply(), kErrCloseUnconfirmed},
        {"unknown word", ErrorReply("SOFTWHATEVER"), kErrCloseUnconfirmed},
        {"bytes after READY", DoneReply() + "\x11", kErrTimeout},
        {"sums and an error word", ErrorReply("SOFTPAPER", sums), 81},
    };
    for (const auto& r : replies) {
        for (bool printerClosed : {true, false}) {
            SCOPED_TRACE(std::string(r.what) + (printerClosed ? ", closed" : ", still open"));
            Harness h;
            OpenCheckOf500(h);
            h.printer.replies["COMP"] = r.reply;
            if (printerClosed) h.printer.lastCheck = 43;
            const int32_t result = h.engine->CloseCheck();
            EXPECT_EQ(Words(h), (std::vector<std::string>{"COMP", "GLCN", "KASS"}));
            EXPECT_TRUE(h.log.Has("Закрытие чека не подтверждено ответом регистратора: сверка"));
            if (printerClosed) {
                ExpectClosed(h, result, Outcome::ReconciledDone);
                EXPECT_EQ(43, h.engine->LastClosedCheck());
                EXPECT_TRUE(h.log.Has("Сверка: чек закрыт"));
            } else {
                ExpectOpen(h, result, Outcome::ReconciledNotDone, r.errorWhenOpen);
                EXPECT_EQ(42, h.engine->LastClosedCheck());
                EXPECT_TRUE(h.log.Has("Сверка: чек не закрыт"));
                // The retry sends the check's amounts, not zeros.
                h.printer.replies.erase("COMP");
                EXPECT_EQ(kTotal, h.engine->CloseCheckEx(kTotal, 0, 0, 0));
                EXPECT_EQ("COMP000000050000000000000000000000000000000000000000000000000500",
                          h.line.Commands()[h.line.Commands().size() - 2]);
            }
        }
    }
}

TEST(UncertainClose, ReplyCutShortAtEveryByte) {
    const std::string whole = DoneReply(Printer::CompData(43, kTotal));
    // Once the sums block is whole, the printer has closed the check.
    const size_t sumsEnd = Block(Printer::CompData(43, kTotal)).size();
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        for (bool printerClosed : {true, false}) {
            if (!printerClosed && cut >= sumsEnd) continue;
            SCOPED_TRACE("cut at " + std::to_string(cut) + (printerClosed ? ", closed" : ", still open"));
            Harness h;
            OpenCheckOf500(h);
            h.printer.replies["COMP"] = whole.substr(0, cut);
            if (printerClosed) h.printer.lastCheck = 43;
            const int32_t result = h.engine->CloseCheck();
            if (printerClosed) {
                ExpectClosed(h, result, Outcome::ReconciledDone);
            } else {
                ExpectOpen(h, result, Outcome::ReconciledNotDone, kErrTimeout);
            }
        }
    }
}

TEST(UncertainClose, ReplyThatComesDuringTheReconcilingReadCountsAsClosed) {
    for (bool otherFirmware : {false, true}) {
        SCOPED_TRACE(otherFirmware ? "other firmware" : "T3+");
        Harness h;
        OpenCheckOf500(h, otherFirmware);
        // The printer answers in order: the COMP a second late, then what
        // the reconciling read asked.
        bool closed = false;
        h.printer.answer = [&](const std::string& command) -> std::string {
            const std::string word = command.substr(0, 4);
            if (word == "COMP") {
                h.line.Arrive(DoneReply(Printer::CompData(43, kTotal)), 7000);
                closed = true;
                return "";
            }
            std::string reply = DoneReply();
            if (word == "CFIS") reply = DoneReply(DayRegisters(closed ? kTotal : 0));
            if (word == "GLCN") reply = DoneReply("GLCN" + Printer::GlcnData('1', closed ? 43 : 42));
            if (closed) h.line.Arrive(reply, 1500);
            return closed ? "" : reply;
        };
        ExpectClosed(h, h.engine->CloseCheck(), Outcome::ReconciledDone);
        EXPECT_EQ(43, h.engine->LastClosedCheck());
    }
}

TEST(UncertainClose, PrinterThatCannotBeAskedKeepsTheCheck) {
    Harness h;
    OpenCheckOf500(h);
    h.printer.replies["COMP"] = "";
    h.printer.replies["GLCN"] = "";
    // Not knowing is an error of its own, never a bare time-out.
    ExpectOpen(h, h.engine->CloseCheck(), Outcome::Unreachable, kErrUnconfirmed);
    EXPECT_STREQ("UNCONFIRMED", h.engine->ErrorCode);
    EXPECT_EQ(42, h.engine->LastClosedCheck());
    // No drawer for a printer that does not answer.
    EXPECT_EQ(Words(h), (std::vector<std::string>{"COMP", "GLCN"}));
    EXPECT_TRUE(h.log.Has("Сверка: регистратор не отвечает, закрыт ли чек, неизвестно"));
}

TEST(UncertainClose, WellBehavedClosingSendsNothingMore) {
    Harness h;
    OpenCheckOf500(h);
    ExpectClosed(h, h.engine->CloseCheck(), Outcome::Done);
    EXPECT_EQ(Words(h), (std::vector<std::string>{"COMP", "KASS"}));
    EXPECT_EQ(43, h.engine->LastClosedCheck());
    EXPECT_FALSE(h.log.Has("Закрытие чека не подтверждено ответом регистратора: сверка"));
}

TEST(UncertainClose, DayRegistersDecideOnOtherFirmware) {
    for (bool printerClosed : {true, false}) {
        SCOPED_TRACE(printerClosed ? "closed" : "still open");
        Harness h;
        OpenCheckOf500(h, true);
        int cfis = 0;
        h.printer.answer = [&](const std::string& command) -> std::string {
            const std::string word = command.substr(0, 4);
            if (word == "COMP") return "";
            if (word == "CFIS")
                return DoneReply(DayRegisters(cfis++ > 0 && printerClosed ? 1000 + kTotal : 1000));
            return DoneReply();
        };
        const int32_t result = h.engine->CloseCheck();
        EXPECT_EQ(Words(h), (std::vector<std::string>{"CFIS", "COMP", "CFIS", "KASS"}));
        if (printerClosed) {
            ExpectClosed(h, result, Outcome::ReconciledDone);
        } else {
            ExpectOpen(h, result, Outcome::ReconciledNotDone, kErrTimeout);
        }
    }
}

TEST(UncertainClose, DayRegistersCanBeSwitchedOff) {
    Harness h;
    OpenCheckOf500(h, true);
    h.engine->DayRegistersBeforeClose = 0;
    ExpectClosed(h, h.engine->CloseCheck(), Outcome::Done);
    EXPECT_EQ(Words(h), (std::vector<std::string>{"COMP", "KASS"}));
    h.Forget();

    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, kTotal, 0, 1, 0, 1);
    h.printer.replies["COMP"] = "";
    ExpectOpen(h, h.engine->CloseCheck(), Outcome::Undecided, kErrUnconfirmed);
    EXPECT_TRUE(h.log.Has("Сверка: закрыт ли чек, определить нельзя"));
}

}  // namespace
}  // namespace brenvik::test
