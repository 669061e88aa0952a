// The check kept across calls: totals through lines, storno, returns and
// both closing operations, the engine's own refusals, the check result.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

std::string Comp(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6) {
    char text[80];
    std::snprintf(text, sizeof text, "COMP%010u%010u%010u%010u%010u%010u", a1, a2, a3, a4, a5, a6);
    return text;
}

// The commands written whose word is `word`.
std::vector<std::string> Sent(const Harness& h, const std::string& word) {
    std::vector<std::string> out;
    for (const auto& c : h.line.Commands())
        if (c.compare(0, word.size(), word) == 0) out.push_back(c);
    return out;
}

struct CloseCase {
    const char* name;
    std::function<void(PrinterEngine&)> lines;  // after OpenCheck
    std::function<int32_t(PrinterEngine&)> close;
    std::string fiscReply;  // taxes answered to every sale line, "" for none
    std::string comp;
    int32_t result;
};

TEST(CheckTotals, ClosingCommandCarriesTheTotalsLeftByLinesStornoAndReturns) {
    const std::vector<CloseCase> cases = {
        {"two sales, storno of the second",
         [](PrinterEngine& e) {
             e.FiscalLine("Milk", 1, 1000, 0, 1, 0, 1);
             e.FiscalLine("Bread", 1, 500, 0, 1, 0, 2);
             e.Storn();
         },
         [](PrinterEngine& e) { return e.CloseCheck(); }, "", Comp(1000, 0, 0, 0, 0, 1000), 1000},
        {"storno of a discounted line takes its discount back too",
         [](PrinterEngine& e) {
             e.FiscalLine("Milk", 1, 1000, 0, 1, 0, 1);
             e.FiscalLineEx("Tea", 2, 1050, 0, 1, 0, 3, 0, "Sale", 100);
             e.Storn();
         },
         [](PrinterEngine& e) { return e.CloseCheck(); }, "", Comp(1000, 0, 0, 0, 0, 1000), 1000},
        {"returns above sales pay the difference",
         [](PrinterEngine& e) {
             e.FiscalLine("Milk", 1, 300, 0, 1, 0, 1);
             e.SetCurrentCheckDirection(1);
             e.FiscalLine("Milk", 1, 700, 0, 1, 0, 1);
         },
         [](PrinterEngine& e) { return e.CloseCheck(); }, "", Comp(300, 700, 0, 0, 0, 400), 400},
        {"discount and surcharge enter the total, not the line sum",
         [](PrinterEngine& e) {
             e.FiscalLineEx("Tea", 2, 1050, 0, 1, 0, 3, 0, "Sale", -100);
             e.FiscalLineEx("Box", 1, 200, 0, 1, 0, 4, 1, "Fee", -15);
             e.FiscalLineEx("Cup", 1, 100, 0, 1, 0, 5, 7, "None", 50);
         },
         [](PrinterEngine& e) { return e.CloseCheck(); }, "", Comp(2315, 0, 0, 0, 0, 2315), 2315},
        {"CloseCheck pays on-sale taxes in cash but keeps them out of the sales",
         [](PrinterEngine& e) { e.FiscalLine("Beer", 1, 1000, 0, 1, 0, 6); },
         [](PrinterEngine& e) { return e.CloseCheck(); }, "FISC0000000150",
         Comp(1000, 0, 0, 0, 0, 1150), 1150},
        {"CloseCheckEx adds on-sale taxes to the sales and pays as told",
         [](PrinterEngine& e) { e.FiscalLine("Beer", 1, 1000, 0, 1, 0, 6); },
         [](PrinterEngine& e) { return e.CloseCheckEx(1000, 100, 50, 0); }, "FISC0000000150",
         Comp(1150, 0, 0, 100, 50, 1000), 1150},
        {"CloseCheckEx with no payments sends the totals and no cash",
         [](PrinterEngine& e) {
             e.FiscalLine("Salt", 1, 500, 0, 1, 0, 7);
             e.SetCurrentCheckDirection(1);
             e.FiscalLine("Salt", 1, 200, 0, 1, 0, 7);
         },
         [](PrinterEngine& e) { return e.CloseCheckEx(0, 0, 0, 0); }, "", Comp(500, 200, 0, 0, 0, 0),
         300},
        {"all-zero closing falls back to the line totals",
         [](PrinterEngine& e) { e.FiscalLine("Gift", 1, 300, 0, 1, 0, 8); },
         [](PrinterEngine& e) { return e.CloseCheckEx(0, 0, 0, 0); }, "FISC-000000300",
         Comp(300, 0, 0, 0, 0, 300), 0},
        {"weighed goods are rounded to whole kopecks",
         [](PrinterEngine& e) { e.FiscalLine("Cheese", 1500, 1999, 1, 2, 0, 9); },
         [](PrinterEngine& e) { return e.CloseCheck(); }, "", Comp(2999, 0, 0, 0, 0, 2999), 2999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        if (!c.fiscReply.empty()) h.printer.replies["FISC"] = DoneReply(c.fiscReply);
        ASSERT_EQ(h.engine->OpenCheck("1"), 1);
        c.lines(*h.engine);
        EXPECT_EQ(c.close(*h.engine), c.result);
        auto comps = Sent(h, "COMP");
        ASSERT_EQ(comps.size(), 1u);
        EXPECT_EQ(comps[0], c.comp);
        EXPECT_EQ(h.engine->CheckSumm, 0);
        EXPECT_EQ(h.engine->CheckReturnSumm, 0);
        EXPECT_EQ(h.line.Commands().back(), "KASS");
    }
}

TEST(CheckTotals, ReturnCheckCountsLinesOnTheReturnSide) {
    Harness h;
    h.Connect();
    h.printer.replies["BFIS"] = DoneReply("FISC0000000020");
    EXPECT_EQ(h.engine->OpenReturnCheck("1"), 1);
    EXPECT_EQ(h.engine->SetReturnCheckNumber(42), 1);
    EXPECT_EQ(h.engine->FiscalLine("Milk", 2, 350, 0, 1, 0, 1), 700);
    EXPECT_EQ(h.engine->GetCheckReturnSum(), 700);
    EXPECT_EQ(h.engine->GetCheckReturnOnSaleTaxes(), 20);
    EXPECT_EQ(h.engine->GetCheckSum(), 0);
    EXPECT_EQ(Sent(h, "BCHN"), std::vector<std::string>{"BCHN42"});
    EXPECT_EQ(Sent(h, "BFIS").size(), 1u);
    EXPECT_TRUE(h.log.Has("F:CheckReturnSumm=700"));
    EXPECT_EQ(h.engine->CloseCheck(), 720);
    EXPECT_EQ(Sent(h, "COMP")[0], Comp(0, 700, 0, 0, 0, 720));
    // Tax totals stay readable after the close, until the next check.
    EXPECT_EQ(h.engine->GetCheckReturnOnSaleTaxes(), 20);
    h.engine->OpenCheck("1");
    EXPECT_EQ(h.engine->GetCheckReturnOnSaleTaxes(), 0);
    EXPECT_EQ(h.engine->CheckDirection, 0);
}

TEST(CheckTotals, StornSubtractsTheLastLineOnTheCurrentSideEachTime) {
    Harness h;
    h.Connect();
    h.printer.replies["FISC"] = DoneReply("FISC0000000030");
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 400, 0, 1, 0, 1);
    h.engine->FiscalLine("Bread", 1, 250, 0, 1, 0, 2);
    EXPECT_EQ(h.engine->GetLastLineTaxes(), 30);
    EXPECT_EQ(h.engine->Storn(), 1);
    EXPECT_EQ(h.engine->CheckSumm, 400);
    EXPECT_EQ(h.engine->CheckOnSaleTaxes, 30);
    EXPECT_TRUE(h.log.Has("F:STRN() Удаление предыдущей  фискальной позиции чека."));
    EXPECT_TRUE(h.log.Has("Сумма предыдущей строки продажи=250"));
    EXPECT_EQ(h.engine->Storn(), 1);  // the printer took a second one: so do the totals
    EXPECT_EQ(h.engine->CheckSumm, 150);

    h.engine->SetCurrentCheckDirection(1);
    h.engine->FiscalLine("Milk", 1, 100, 0, 1, 0, 1);
    EXPECT_EQ(h.engine->CheckReturnSumm, 100);
    h.engine->Storn();
    EXPECT_EQ(h.engine->CheckReturnSumm, 0);
    EXPECT_EQ(h.engine->CheckReturnOnSaleTaxes, 0);
    EXPECT_TRUE(h.log.Has("Сумма предыдущей строки возврата=100"));
    EXPECT_EQ(h.engine->CheckSumm, 150);
}

// The printer's STRN cancels the last line it took; lines refused after it,
// by the engine before sending or by the printer, do not replace it.
TEST(CheckTotals, StornTakesBackTheLastAcceptedLine) {
    const struct {
        const char* what;
        std::function<void(Harness&)> refusedLine;
    } cases[] = {
        {"quantity over the limit", [](Harness& h) { h.engine->FiscalLine("Salt", 100000, 10, 0, 1, 0, 3); }},
        {"tax not programmed", [](Harness& h) { h.engine->FiscalLine("Salt", 1, 10, 0, 5, 0, 3); }},
        {"refused by the printer", [](Harness& h) {
             h.printer.replies["FISC"] = ErrorReply("SOFTPARAM");
             h.engine->FiscalLineEx("Salt", 1, 10, 0, 1, 0, 3, 0, "", 5);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        h.Connect();
        h.engine->OpenCheck("1");
        h.engine->FiscalLine("Milk", 1, 400, 0, 1, 0, 1);
        h.printer.replies["FISC"] = DoneReply("FISC0000000030");
        h.engine->FiscalLineEx("Bread", 2, 125, 0, 1, 0, 2, 1, "", 20);  // 250 with 20 surcharge
        c.refusedLine(h);
        h.engine->SetCurrentCheckDirection(1);  // the line's own side counts
        EXPECT_EQ(h.engine->Storn(), 1);
        EXPECT_EQ(h.engine->CheckSumm, 400);
        EXPECT_EQ(h.engine->CheckOnSaleTaxes, 0);
        EXPECT_EQ(h.engine->CheckReturnSumm, 0);
        EXPECT_TRUE(h.log.Has("Сумма предыдущей строки продажи=250"));
    }
}

// A storno the printer did not carry out must not change the totals, or the
// closing amounts would no longer match the printer's own check.
TEST(CheckTotals, RefusedOrUnsentStornLeavesTheTotals) {
    Harness h;
    h.Connect();
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 400, 0, 1, 0, 1);
    h.printer.replies["STRN"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(h.engine->Storn(), 0);
    EXPECT_EQ(h.engine->CheckSumm, 400);
    EXPECT_STREQ(h.engine->ErrorCode, "SOFTPROTOC");

    h.engine->Done();
    h.Forget();
    h.engine->Storn();
    EXPECT_EQ(h.engine->CheckSumm, 400);
    EXPECT_TRUE(h.line.Commands().empty());
}

TEST(CheckTotals, AbortZeroesEveryTotalAndCancels) {
    Harness h;
    h.Connect();
    h.printer.replies["FISC"] = DoneReply("FISC0000000030");
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 400, 0, 1, 0, 1);
    EXPECT_EQ(h.engine->AbortCheck(), 1);
    EXPECT_EQ(h.engine->CheckSumm, 0);
    EXPECT_EQ(h.engine->CheckOnSaleTaxes, 0);
    EXPECT_EQ(h.line.Commands().back(), "CANC");
    EXPECT_TRUE(h.log.Has("F:CANC() Отмена фискального чека"));
}

TEST(CheckDirection, FollowsOpeningAndSetterWhateverThePrinterSays) {
    Harness h;
    h.Connect();
    h.printer.replies["PREP"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(h.engine->OpenReturnCheck("1"), 0);
    EXPECT_EQ(h.engine->CheckDirection, 1);
    EXPECT_EQ(h.engine->SetCurrentCheckDirection(2), 1);
    EXPECT_EQ(h.engine->CheckDirection, 0);
    EXPECT_EQ(h.engine->SetCurrentCheckDirection(1), 1);
    EXPECT_EQ(h.engine->CheckDirection, 1);
    EXPECT_EQ(h.line.Commands(), (std::vector<std::string>{"CANC", "PREP1"}));
}

struct LineCase {
    const char* name;
    int32_t qty, price, dividual, tax1, tax2;
    int32_t result;
    uint32_t error;
    const char* word;
};

TEST(FiscalLine, EngineChecksComeBeforeAnythingIsSent) {
    const std::vector<LineCase> cases = {
        {"quantity at the limit", 99999, 100, 0, 1, 0, 9999900, 0, ""},
        {"quantity above the limit", 100000, 100, 0, 1, 0, 0, 87, "TOOBIGQTY"},
        {"huge quantity", INT32_MAX, 100, 0, 1, 0, 0, 87, "TOOBIGQTY"},
        {"unprogrammed first tax", 1, 100, 0, 4, 0, 0, 88, "INVALIDTAX"},
        {"unprogrammed second tax", 1, 100, 0, 1, 8, 0, 88, "INVALIDTAX"},
        {"no tax at all", 1, 100, 0, 0, 0, 100, 0, ""},
        {"index outside the table", 1, 100, 0, 9, -3, 100, 0, ""},
        {"piece goods", 2, 1050, 0, 1, 0, 2100, 0, ""},
        {"weighed goods", 250, 4000, 1, 1, 0, 1000, 0, ""},
        {"weighed goods, no quantity: one kilogram", 0, 1999, 1, 1, 0, 1999, 0, ""},
        {"piece goods, no quantity: one piece", 0, 1999, 0, 1, 0, 1999, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.Connect();
        h.engine->OpenCheck("1");
        h.Forget();
        EXPECT_EQ(h.engine->FiscalLine("Goods", c.qty, c.price, c.dividual, c.tax1, c.tax2, 5), c.result);
        EXPECT_EQ(h.engine->ErrorNumber, c.error);
        EXPECT_EQ(h.engine->LastLineSum, c.result);
        if (c.error != 0) {
            EXPECT_STREQ(h.engine->ErrorCode, c.word);
            EXPECT_TRUE(h.line.Commands().empty());
            EXPECT_EQ(h.engine->CheckSumm, 0);
        } else {
            EXPECT_EQ(h.line.Commands().size(), 1u);
        }
    }
}

TEST(FiscalLine, LongArticlePrintersTakeSixDigitQuantities) {
    Harness h;
    h.printer.replies["GLCN"] = DoneReply("GLCN" + Printer::GlcnData('2'));
    h.Connect();
    ASSERT_EQ(h.engine->MaxQuantity, 999999);
    h.engine->OpenCheck("1");
    EXPECT_EQ(h.engine->FiscalLine("Nails", 999999, 1, 0, 1, 0, 123456), 999999);
    EXPECT_EQ(h.line.Commands().back().substr(0, 4), "FICD");
    EXPECT_EQ(h.engine->FiscalLine("Nails", 1000000, 1, 0, 1, 0, 123456), 0);
    EXPECT_STREQ(h.engine->ErrorCode, "TOOBIGQTY");
}

// A refused line is not in the printer's check; counting it would make the
// closing command disagree with the printer (and Storn cancel it twice).
TEST(FiscalLine, PrinterRefusalLeavesTheLineOutOfTheTotals) {
    Harness h;
    h.Connect();
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 400, 0, 1, 0, 4);
    h.printer.replies["FISC"] = ErrorReply("SOFTPAPER");
    EXPECT_EQ(h.engine->FiscalLine("Milk", 2, 1050, 0, 1, 0, 5), 0);
    EXPECT_EQ(h.engine->ErrorNumber, 81u);
    EXPECT_STREQ(h.engine->GetLastErrorCode(), "SOFTPAPER");
    EXPECT_EQ(h.engine->CheckSumm, 400);
    EXPECT_EQ(h.engine->LastLineSum, 0);

    h.engine->SetCurrentCheckDirection(1);
    h.printer.replies["BFIS"] = ErrorReply("SOFTCHECK");
    EXPECT_EQ(h.engine->FiscalLine("Milk", 1, 400, 0, 1, 0, 4), 0);
    EXPECT_EQ(h.engine->CheckReturnSumm, 0);

    h.printer.replies.erase("COMP");
    EXPECT_EQ(h.engine->CloseCheck(), 400);
    EXPECT_EQ(Sent(h, "COMP").back(), Comp(400, 0, 0, 0, 0, 400));
}

// When the reply is lost the printer may have taken the line: it stays.
TEST(FiscalLine, LineWhoseReplyWasLostStaysCounted) {
    Harness h;
    h.Connect();
    h.engine->OpenCheck("1");
    h.printer.replies["FISC"] = "";  // the printer says nothing
    EXPECT_EQ(h.engine->FiscalLine("Milk", 2, 1050, 0, 1, 0, 5), 0);
    EXPECT_EQ(h.engine->ErrorNumber, 80u);
    EXPECT_EQ(h.engine->CheckSumm, 2100);
    EXPECT_EQ(h.engine->LastLineSum, 2100);
}

TEST(FiscalLine, CyrillicNameTravelsInThePrinterCodePage) {
    Harness h;
    h.Connect();
    h.engine->OpenCheck("1");
    h.Forget();
    EXPECT_EQ(h.engine->FiscalLine("Хліб", 1, 350, 0, 1, 0, 12), 350);
    std::string sent = h.line.Commands().at(0);
    std::string name = "        Хліб";
    PrinterEngine::ToPrinterCodePage(name.data());
    EXPECT_EQ(sent.substr(4, 12), name);
}

TEST(FiscalLine, NullTextsAndExtremeDiscountsNeverCrash) {
    Harness h;
    h.Connect();
    EXPECT_EQ(h.engine->OpenCheck(nullptr), 1);
    EXPECT_EQ(h.line.Commands().back(), "PREP");
    EXPECT_EQ(h.engine->FiscalLineEx(nullptr, 1, 100, 0, 1, 0, 1, 0, nullptr, 0), 100);
    // A discount beyond any field is refused by the line encoder, not wrapped.
    h.Forget();
    EXPECT_EQ(h.engine->FiscalLineEx("Milk", 1, 100, 0, 1, 0, 1, 0, "Big", INT32_MIN), 0);
    EXPECT_NE(h.engine->ErrorNumber, 0u);
    EXPECT_TRUE(h.line.Commands().empty());
    EXPECT_EQ(h.engine->SetReturnCheckNumberStr(nullptr), 1);
    EXPECT_EQ(h.line.Commands().back(), "BCHN");
}

// A negative payment would travel as a ten-digit unsigned amount: a payment
// of some forty million. It is refused and the check stays open.
TEST(CloseCheckEx, NegativePaymentIsRefusedBeforeSending) {
    Harness h;
    h.Connect();
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 500, 0, 1, 0, 1);
    h.Forget();
    EXPECT_EQ(h.engine->CloseCheckEx(-100, 0, 0, 0), 0);
    EXPECT_EQ(h.engine->ErrorNumber, 90u);
    EXPECT_STREQ(h.engine->ErrorCode, "FIELDOVERFLOW");
    EXPECT_TRUE(h.line.Commands().empty());
    EXPECT_EQ(h.engine->CheckSumm, 500);
    EXPECT_TRUE(h.log.Has("F:Результат CloseCheckEx = 0"));
    EXPECT_EQ(h.engine->CloseCheckEx(500, 0, 0, 0), 500);
    EXPECT_TRUE(h.log.Has("F:Результат CloseCheckEx = 500"));
}

TEST(CloseCheck, RefusedClosingKeepsTheCheckForTheNextTry) {
    for (const char* word : {"SOFTPAPER", "SOFTSLWORK", "SOFTUPAS"}) {
        SCOPED_TRACE(word);
        Harness h;
        h.Connect();
        h.engine->OpenCheck("1");
        h.engine->FiscalLine("Milk", 1, 500, 0, 1, 0, 1);
        h.printer.replies["COMP"] = ErrorReply(word);
        EXPECT_EQ(h.engine->CloseCheck(), 0);
        EXPECT_STREQ(h.engine->ErrorCode, word);
        EXPECT_EQ(h.engine->LastCloseOutcome(), Outcome::Refused);
        EXPECT_EQ(h.engine->CheckSumm, 500);
        EXPECT_TRUE(h.log.Has("F:CheckSumm=500"));
        // The cause fixed, the same amounts go again and the check closes.
        h.printer.replies.erase("COMP");
        EXPECT_EQ(h.engine->CloseCheck(), 500);
        EXPECT_EQ(Sent(h, "COMP"), (std::vector<std::string>{Comp(500, 0, 0, 0, 0, 500),
                                                              Comp(500, 0, 0, 0, 0, 500)}));
        EXPECT_EQ(h.engine->LastCloseOutcome(), Outcome::Done);
        EXPECT_EQ(h.engine->CheckSumm, 0);
        EXPECT_EQ(h.engine->LastClosedCheck(), 43);
    }
}

TEST(CheckResult, GroupsOfTenFromTheClosingReply) {
    Harness h;
    h.Connect();
    EXPECT_EQ(h.engine->GetCheckResult(), kEmptyText);
    std::string data;
    for (int k = 0; k < 9; ++k) data += std::string(9, '0') + static_cast<char>('1' + k);
    h.printer.replies["COMP"] = DoneReply("COMP" + data);
    h.engine->OpenCheck("1");
    h.engine->FiscalLine("Milk", 1, 500, 0, 1, 0, 1);
    h.engine->CloseCheck();
    std::string result = h.engine->GetCheckResult();
    EXPECT_EQ(result,
              "0000000001;0000000002;0000000003;0000000004;0000000005;0000000006;");
    EXPECT_EQ(result.size(), 66u);
    // Zero bytes inside a group add nothing.
    h.engine->CheckResultText[3] = '\0';
    EXPECT_EQ(std::string(h.engine->GetCheckResult()).substr(0, 10), "000000001;");
}

TEST(CheckCopy, SendsCopyOnlyWhileConnected) {
    Harness h;
    EXPECT_EQ(h.engine->CheckCopy(), 1);
    EXPECT_TRUE(h.line.Commands().empty());
    h.Connect();
    EXPECT_EQ(h.engine->CheckCopy(), 1);
    EXPECT_EQ(h.line.Commands(), std::vector<std::string>{"COPY"});
    EXPECT_TRUE(h.log.Has("F:COPY() Печать копии чека"));
}

}  // namespace
}  // namespace brenvik::test
