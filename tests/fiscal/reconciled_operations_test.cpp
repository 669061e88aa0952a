// Reports, text documents, zero checks, copies and cash movements whose reply
// is lost, late, cut or refused: the engine reports success exactly when the
// printer did the operation, failure when it did not, and error 95 when
// nothing can tell, never a bare time-out; and the next command gets its own
// reply.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

// A printer that keeps the counters it reports and moves them as a printer
// does: every printed document counts, reports and cash slips as service
// documents, a zero check as a check, a Z-report apart and empties the day.
struct Model {
    int lastCheck = 42, lastDoc = 57, lastServDoc = 3, z = 7;
    long daySales = 0, cashIn = 0, cashOut = 0;

    void CarryOut(const std::string& c) {
        const std::string word = c.substr(0, 4);
        if (word == "COPY") return;  // a copy counts nowhere
        ++lastDoc;
        if (word == "NULL") ++lastCheck;
        if (word == "NREP") {
            ++z;
            daySales = cashIn = cashOut = 0;
        }
        if (word == "ZREP" || word == "FIRN" || word == "FIRP" || word == "PRTX" || word == "ARTZ" ||
            word == "DIZV" || word == "CAIO")
            ++lastServDoc;
        if (word == "CAIO") (c[4] == 'I' ? cashIn : cashOut) += std::stol(c.substr(5));
    }
    std::string Glcn() const {
        char t[64];
        std::snprintf(t, sizeof t, "GLCN%010d%010d%010d101%04d", lastCheck, lastDoc, lastServDoc, z);
        return t;
    }
    std::string Ccas() const {
        char t[128];
        std::snprintf(t, sizeof t, "CCAS%011d%011ld%011ld%055d", 0, cashIn, cashOut, 0);
        return t;
    }
    std::string Cfis() const {
        char t[16];
        std::snprintf(t, sizeof t, "%012ld", daySales);
        return "CFIS" + std::string(t) + std::string(108, '0') + std::string(120, '0');
    }
};

enum class Fault { None, Refused, Lost, Silent, Late, Cut, Trailing, Dead };

struct Op {
    const char* name;
    const char* word;  // of the command that does the work
    std::function<int32_t(PrinterEngine&)> call;
    bool counted;      // moves a counter the printer reports
};

const std::vector<Op>& Ops() {
    static const std::vector<Op> ops = {
        {"X-report", "ZREP", [](PrinterEngine& e) { return e.XReport(); }, true},
        {"Z-report", "NREP", [](PrinterEngine& e) { return e.ZReport(); }, true},
        {"zero Z-report", "nrep", [](PrinterEngine& e) { return e.PrintZeroZReport(); }, true},
        {"article report", "ARTZ", [](PrinterEngine& e) { return e.ArticleReport(); }, true},
        {"fiscal report by numbers", "FIRN", [](PrinterEngine& e) { return e.PeriodicalFiscalReport(1, 2); }, true},
        {"fiscal report by dates", "FIRP",
         [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("20240301", "20240331"); }, true},
        {"text document", "PRTX", [](PrinterEngine& e) { return e.CloseTextDocument(0); }, true},
        {"zero check", "NULL", [](PrinterEngine& e) { return e.NullCheck(); }, true},
        {"cash in", "CAIO", [](PrinterEngine& e) { return e.MoveCash(1, 2500); }, true},
        {"cash out", "CAIO", [](PrinterEngine& e) { return e.MoveCash(0, 700); }, true},
        {"copy of the check", "COPY", [](PrinterEngine& e) { return e.CheckCopy(); }, false},
    };
    return ops;
}

// Wires the model into the harness; `fault` hits the first command whose
// word is `word`.
void Script(Harness& h, Model& m, const std::string& word, Fault fault) {
    auto hit = std::make_shared<bool>(false);
    auto dead = std::make_shared<bool>(false);
    h.printer.answer = [&h, &m, word, fault, hit, dead](const std::string& c) -> std::string {
        if (*dead) return "";
        const std::string w = c.substr(0, 4);
        if (w == "GLCN") return DoneReply(m.Glcn());
        if (w == "CCAS") return DoneReply(m.Ccas());
        if (w == "CFIS") return DoneReply(m.Cfis());
        if (w != word || *hit) {
            if (w != "KASS" && w != "DBEG") m.CarryOut(c);
            return DoneReply();
        }
        *hit = true;
        const std::string reply = DoneReply();
        switch (fault) {
        case Fault::None: m.CarryOut(c); return reply;
        case Fault::Refused: return ErrorReply("SOFTPAPER");
        case Fault::Silent: return "";
        case Fault::Lost: m.CarryOut(c); return "";
        case Fault::Dead: m.CarryOut(c); *dead = true; return "";
        case Fault::Trailing: m.CarryOut(c); return reply + "***";
        case Fault::Late: m.CarryOut(c); h.line.Arrive(reply, 8000); return "";
        case Fault::Cut: m.CarryOut(c); h.line.Arrive(reply.substr(3), 8000); return reply.substr(0, 3);
        }
        return reply;
    };
}

struct Expected {
    int32_t result;
    Outcome outcome;
    uint32_t error;
};

// What the printer did decides; where nothing it reports can tell, 95.
Expected For(const Op& op, Fault fault) {
    switch (fault) {
    case Fault::None: return {1, Outcome::Done, 0};
    case Fault::Refused: return {0, Outcome::Refused, 81};
    case Fault::Late:
    case Fault::Cut: return {1, Outcome::ReconciledDone, 0};  // by the late reply itself
    case Fault::Lost:
    case Fault::Trailing:
        return op.counted ? Expected{1, Outcome::ReconciledDone, 0} : Expected{0, Outcome::Undecided, 95};
    case Fault::Silent:
        return op.counted ? Expected{0, Outcome::ReconciledNotDone, 80} : Expected{0, Outcome::Undecided, 95};
    case Fault::Dead:
        return op.counted ? Expected{0, Outcome::Unreachable, 95} : Expected{0, Outcome::Undecided, 95};
    }
    return {};
}

const char* Name(Fault f) {
    static const char* names[] = {"none", "refused", "lost", "silent", "late", "cut", "trailing", "dead"};
    return names[static_cast<int>(f)];
}

TEST(ReconciledOperations, SuccessExactlyWhenThePrinterDidItOnT3Plus) {
    for (const Op& op : Ops()) {
        for (Fault fault : {Fault::None, Fault::Refused, Fault::Lost, Fault::Silent, Fault::Late, Fault::Cut,
                            Fault::Trailing, Fault::Dead}) {
            SCOPED_TRACE(std::string(op.name) + ", " + Name(fault));
            Harness h;
            Model m;
            ASSERT_EQ(1, h.Connect());
            Script(h, m, op.word, fault);
            const Model before = m;
            const Expected want = For(op, fault);
            EXPECT_EQ(want.result, op.call(*h.engine));
            EXPECT_EQ(want.outcome, h.engine->LastOutcome());
            EXPECT_EQ(want.error, h.engine->ErrorNumber);
            if (want.error == 95) {
                EXPECT_STREQ("UNCONFIRMED", h.engine->ErrorCode);
            }
            // Success is reported only for what the printer did.
            const bool did = m.lastDoc != before.lastDoc || (fault != Fault::Refused && fault != Fault::Silent &&
                                                             std::string(op.word) == "COPY");
            if (want.result == 1) {
                EXPECT_TRUE(did);
            }
            if (fault == Fault::Refused) {
                EXPECT_FALSE(h.log.Has("Операция не подтверждена ответом регистратора: сверка"));
            }
            if (fault == Fault::Dead) continue;
            // The next command gets its own reply, whatever came late.
            h.line.now += 10000;
            h.Forget();
            h.engine->GetDocumentsInfo();
            EXPECT_EQ(0u, h.engine->ErrorNumber);
            EXPECT_EQ(m.lastCheck, h.engine->LastClosedCheck());
            EXPECT_EQ(m.lastDoc, LeadingInteger(h.engine->LastDocNumber));
            EXPECT_EQ(0u, h.line.Pending());
        }
    }
}

TEST(ReconciledOperations, AWellBehavedOperationReadsItsCounterOnceAndWaitsForNothing) {
    Harness h;
    Model m;
    ASSERT_EQ(1, h.Connect());
    Script(h, m, "NREP", Fault::None);
    const uint64_t before = h.line.now;
    EXPECT_EQ(1, h.engine->ZReport());
    EXPECT_EQ(h.line.Commands(), (std::vector<std::string>{"GLCN", "NREP"}));
    EXPECT_EQ(2u * h.printer.delayMs, h.line.now - before);
    EXPECT_FALSE(h.log.Has("Операция не подтверждена ответом регистратора: сверка"));
}

TEST(ReconciledOperations, AZeroCheckIsNotTakenForTheNextChecksClosing) {
    // A zero check moves the last check number; a closing afterwards whose
    // reply is lost, and which the printer did not close, must not be
    // measured against the number from before the zero check.
    Harness h;
    Model m;
    ASSERT_EQ(1, h.Connect());
    Script(h, m, "COMP", Fault::Silent);
    ASSERT_EQ(1, h.engine->NullCheck());
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 500, 0, 1, 0, 1);
    EXPECT_EQ(0, h.engine->CloseCheck());
    EXPECT_EQ(Outcome::ReconciledNotDone, h.engine->LastCloseOutcome());
    EXPECT_EQ(500, h.engine->CheckSumm);  // kept for the next try
}

TEST(ReconciledOperations, OtherFirmwareDecidesTheZReportByTheDayAndCashByTheDrawer) {
    const struct {
        const char* name;
        const char* word;
        std::function<int32_t(PrinterEngine&)> call;
        long daySales;
        Fault fault;
        Expected want;
        std::vector<std::string> commands;
    } cases[] = {
        {"Z-report of a day with sales, lost", "NREP", [](PrinterEngine& e) { return e.ZReport(); }, 125000,
         Fault::Lost, {1, Outcome::ReconciledDone, 0}, {"CCAS", "CFIS", "NREP", "CCAS", "CFIS"}},
        {"Z-report of a day with sales, not heard", "NREP", [](PrinterEngine& e) { return e.ZReport(); }, 125000,
         Fault::Silent, {0, Outcome::ReconciledNotDone, 80}, {"CCAS", "CFIS", "NREP", "CCAS", "CFIS"}},
        // An empty day looks the same before and after its Z-report.
        {"Z-report of an empty day, lost", "NREP", [](PrinterEngine& e) { return e.ZReport(); }, 0, Fault::Lost,
         {0, Outcome::Undecided, 95}, {"CCAS", "CFIS", "NREP", "CCAS", "CFIS"}},
        {"cash out, lost", "CAIO", [](PrinterEngine& e) { return e.MoveCash(0, 500); }, 0, Fault::Lost,
         {1, Outcome::ReconciledDone, 0}, {"CCAS", "CAIOO0000000500", "CCAS", "KASS"}},
        // No document numbers on this firmware: nothing is read, nothing tells.
        {"X-report, lost", "ZREP", [](PrinterEngine& e) { return e.XReport(); }, 0, Fault::Lost,
         {0, Outcome::Undecided, 95}, {"ZREP1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20040101"));
        Model m;
        m.daySales = c.daySales;
        ASSERT_EQ(1, h.Connect());
        ASSERT_EQ(0, h.engine->T3PlusFirmware);
        Script(h, m, c.word, c.fault);
        EXPECT_EQ(c.want.result, c.call(*h.engine));
        EXPECT_EQ(c.want.outcome, h.engine->LastOutcome());
        EXPECT_EQ(c.want.error, h.engine->ErrorNumber);
        EXPECT_EQ(c.commands, h.line.Commands());
    }
}

}  // namespace
}  // namespace brenvik::test
