// Reports, documents, clock, drawer, cash and displays: the exact command
// texts, the engine's own refusals and the drawer that never masks a result.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

using Commands = std::vector<std::string>;

struct CommandCase {
    const char* name;
    std::function<int32_t(PrinterEngine&)> call;
    Commands sent;
    const char* logLine;  // "" when the test does not look at the log
};

// An operation that changes the printer's state first reads the counter it
// moves (GLCN on this T3+ printer, CCAS for cash), so that a lost reply can
// be decided.
TEST(Reports, EachOperationSendsItsExactText) {
    const std::vector<CommandCase> cases = {
        {"X-report", [](PrinterEngine& e) { return e.XReport(); }, {"GLCN", "ZREP1"},
         "F:ZREP() Х-отчет фискального регистратора"},
        {"X-report async", [](PrinterEngine& e) { return e.XReportAsync(); }, {"GLCN", "ZREP1"}, ""},
        {"Z-report", [](PrinterEngine& e) { return e.ZReport(); }, {"GLCN", "NREP"},
         "F:NREP() Z-отчет фискального регистратора"},
        {"Z-report async", [](PrinterEngine& e) { return e.ZReportAsync(); }, {"GLCN", "NREP"}, ""},
        {"zero Z-report", [](PrinterEngine& e) { return e.PrintZeroZReport(); }, {"GLCN", "nrep"},
         "F:nrep() Открытие новой смены без регистрации оборотов."},
        {"article report", [](PrinterEngine& e) { return e.ArticleReport(); }, {"GLCN", "ARTZ"},
         "F:ARTZ() Отчет по товарам"},
        {"discount report", [](PrinterEngine& e) { return e.DiscountReport(); }, {"GLCN", "DIZV"},
         "F:DIZV() Отчет по скидкам"},
        {"fiscal report by numbers", [](PrinterEngine& e) { return e.PeriodicalFiscalReport(5, 12); },
         {"GLCN", "FIRN00050012"}, "F:FIRN(5, 12) Отчет ФП по номерам (полный)"},
        {"fiscal report, first number 0",
         [](PrinterEngine& e) { return e.PeriodicalFiscalReport(0, 12); }, {"GLCN", "FIRN"}, ""},
        {"fiscal report, last number 0",
         [](PrinterEngine& e) { return e.PeriodicalFiscalReport(7, 0); }, {"GLCN", "FIRN"}, ""},
        {"fiscal report, widest numbers",
         [](PrinterEngine& e) { return e.PeriodicalFiscalReport(1, 9999); }, {"GLCN", "FIRN00019999"}, ""},
        {"fiscal report by dates",
         [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("20240301", "20240331"); },
         {"GLCN", "FIRP2024030120240331"}, "F:FIRP(20240301, 20240331) Отчет ФП по датам (полный)"},
        {"feed", [](PrinterEngine& e) { return e.Feed(3); }, {"FEED3"}, "F:FEED(3) Прогон чековой ленты"},
        {"drawer", [](PrinterEngine& e) { return e.OpenCashBox(); }, {"KASS"},
         "F:KASS() Открытие денежного ящика"},
        {"cutter: only exactly 1 counts", [](PrinterEngine& e) { return e.CutAndBeep(1, 2, 1); },
         {"CUTR101"},
         "F:CUTR(1, 0, 1) Управление работой обрезчика чековой ленты и звуковым сигналом."},
        {"cutter off", [](PrinterEngine& e) { return e.CutAndBeep(0, 1, -1); }, {"CUTR010"}, ""},
        {"text document on the journal", [](PrinterEngine& e) { return e.CloseTextDocument(1); },
         Commands{"DBEG1", "GLCN", "PRTX"}, "F:PRTX() Печать и закрытие служебного документа."},
        {"text document", [](PrinterEngine& e) { return e.CloseTextDocument(0); },
         Commands{"DBEG0", "GLCN", "PRTX"}, "F:DBEG() Открытие служебного документа."},
        {"zero check opens the drawer", [](PrinterEngine& e) { return e.NullCheck(); },
         Commands{"GLCN", "NULL", "KASS"}, "F:NUL() Печать нулевого чека"},
        {"cash out", [](PrinterEngine& e) { return e.MoveCash(0, 1500); },
         Commands{"CCAS", "CAIOO0000001500", "KASS"}, "F:CAIO(-1500) Служебное внесение/вынесение"},
        {"cash out, sign ignored", [](PrinterEngine& e) { return e.MoveCash(0, -500); },
         Commands{"CCAS", "CAIOO0000000500", "KASS"}, ""},
        {"cash in", [](PrinterEngine& e) { return e.MoveCash(7, -500); },
         Commands{"CCAS", "CAIOI0000000500", "KASS"}, ""},
        {"cash in of nothing", [](PrinterEngine& e) { return e.MoveCash(1, 0); },
         Commands{"GLCN", "CCAS", "CAIOI0000000000", "KASS"}, ""},
        {"display amount", [](PrinterEngine& e) { return e.PutToDisplay("Total", "12.50"); },
         {"DISp13      1250"}, "F:DISp(1250) Вывод на индикатор клиента"},
        {"display, empty amount", [](PrinterEngine& e) { return e.PutToDisplay("Total", ""); },
         {"DISp13       000"}, ""},
        {"display, one digit", [](PrinterEngine& e) { return e.PutToDisplay("x", "0.05"); },
         {"DISp13       005"}, ""},
        {"display, two digits", [](PrinterEngine& e) { return e.PutToDisplay("x", "0.42"); },
         {"DISp13       042"}, ""},
        {"display, rounded", [](PrinterEngine& e) { return e.PutToDisplay("", "0.999"); },
         {"DISp13       100"}, ""},
        {"display, not a number", [](PrinterEngine& e) { return e.PutToDisplay("x", "abc"); },
         {"DISp13       000"}, ""},
        {"display, widest", [](PrinterEngine& e) { return e.PutToDisplay("x", "42949672.95"); },
         {"DISp134294967295"}, ""},
        {"display cleared", [](PrinterEngine& e) { return e.PutToDisplay("", ""); }, {"DISp"},
         "F:DISp() Вывод на индикатор клиента"},
        {"display cleared, NULL texts", [](PrinterEngine& e) { return e.PutToDisplay(nullptr, nullptr); },
         {"DISp"}, ""},
        {"external display, unconverted", [](PrinterEngine& e) { return e.PutToExternalDisplay("Ціна", 1); },
         {"DIspЦіна"}, "F:DIsp(Ціна, 1) Выдача информации на выносной индикатор"},
        {"clock", [](PrinterEngine& e) { return e.SetInternalTime(9, 5, 7); }, {"CTIM090507"},
         "F:CTIM(090507) Корректировка часов реального времени"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        EXPECT_EQ(c.call(*h.engine), 1);
        EXPECT_EQ(h.line.Commands(), c.sent);
        if (c.logLine[0] != '\0') {
            EXPECT_TRUE(h.log.Has(c.logLine));
        }
    }
}

struct TimeCase {
    int32_t h, m, s;
    const char* sent;  // nullptr: refused
};

TEST(SetInternalTime, AcceptsUpToHour24AndRefusesTheRest) {
    const std::vector<TimeCase> cases = {
        {24, 0, 0, "CTIM240000"}, {23, 59, 59, "CTIM235959"}, {0, 0, 0, "CTIM000000"},
        {25, 0, 0, nullptr},      {12, 60, 0, nullptr},       {12, 0, 60, nullptr},
        {-1, 0, 0, nullptr},      {0, -1, 0, nullptr},        {0, 0, INT32_MIN, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.h) + ":" + std::to_string(c.m) + ":" + std::to_string(c.s));
        Harness h;
        h.Connect();
        int32_t r = h.engine->SetInternalTime(c.h, c.m, c.s);
        if (c.sent) {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(h.line.Commands(), Commands{c.sent});
        } else {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(h.engine->ErrorNumber, 89u);
            EXPECT_STREQ(h.engine->ErrorCode, "INVALIDTIME");
            EXPECT_TRUE(h.line.Commands().empty());
            EXPECT_TRUE(h.log.Has("Ошибка 89: Неправильное время передано в функцию установки времени."));
        }
    }
}

// Values that would not fit the command's fields are refused whole rather
// than sent with the following fields shifted.
TEST(Reports, ValuesBeyondTheirFieldsAreRefusedBeforeSending) {
    const std::vector<std::pair<const char*, std::function<int32_t(PrinterEngine&)>>> cases = {
        {"Z-report number of five digits", [](PrinterEngine& e) { return e.PeriodicalFiscalReport(10000, 2); }},
        {"negative Z-report number", [](PrinterEngine& e) { return e.PeriodicalFiscalReport(-1, 5); }},
        {"date of nine digits", [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("202403011", "20240331"); }},
        {"date with letters", [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("2024-3-1", "20240331"); }},
        // A date the automation layer could not convert arrives empty: never
        // a report over the whole fiscal memory.
        {"first date empty", [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("", "20240331"); }},
        {"second date empty", [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("20240301", ""); }},
        {"no dates", [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate(nullptr, nullptr); }},
        {"year before 1000", [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate(" 9990101", "20240331"); }},
        {"negative display amount", [](PrinterEngine& e) { return e.PutToDisplay("x", "-1"); }},
        {"display amount beyond ten digits", [](PrinterEngine& e) { return e.PutToDisplay("x", "1e300"); }},
        {"display amount not a number", [](PrinterEngine& e) { return e.PutToDisplay("x", "nan"); }},
        {"display amount infinite", [](PrinterEngine& e) { return e.PutToDisplay("x", "inf"); }},
        {"cash of the smallest int", [](PrinterEngine& e) { return e.MoveCash(1, INT32_MIN); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Harness h;
        h.Connect();
        EXPECT_EQ(c.second(*h.engine), 0);
        EXPECT_EQ(h.engine->ErrorNumber, 90u);
        EXPECT_STREQ(h.engine->ErrorCode, "FIELDOVERFLOW");
        EXPECT_TRUE(h.line.Commands().empty());
    }
}

TEST(Reports, LinkDownSendsNothingAndReportsThePreviousOutcome) {
    const std::vector<std::function<int32_t(PrinterEngine&)>> calls = {
        [](PrinterEngine& e) { return e.XReport(); },
        [](PrinterEngine& e) { return e.ZReport(); },
        [](PrinterEngine& e) { return e.CloseTextDocument(1); },
        [](PrinterEngine& e) { return e.NullCheck(); },
        [](PrinterEngine& e) { return e.MoveCash(1, 100); },
        [](PrinterEngine& e) { return e.PutToDisplay("a", "1"); },
        [](PrinterEngine& e) { return e.PutToDisplay("", ""); },
        [](PrinterEngine& e) { return e.PutToExternalDisplay("a", 0); },
        [](PrinterEngine& e) { return e.SetInternalTime(1, 2, 3); },
        [](PrinterEngine& e) { return e.CutAndBeep(1, 1, 1); },
        [](PrinterEngine& e) { return e.PeriodicalFiscalReport(1, 2); },
        [](PrinterEngine& e) { return e.PeriodicalFiscalReportDate("20240101", "20240102"); },
        [](PrinterEngine& e) { return e.Feed(1); },
    };
    Harness h;
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        h.engine->ErrorNumber = 0;
        EXPECT_EQ(calls[i](*h.engine), 1);
        h.engine->ErrorNumber = 81;
        EXPECT_EQ(calls[i](*h.engine), 0);
    }
    EXPECT_TRUE(h.line.writes.empty());
    EXPECT_EQ(h.engine->OpenTextDocument(), 1);
}

TEST(Reports, DrawerFailureAfterZeroCheckDoesNotChangeItsResult) {
    Harness h;
    h.Connect();
    h.printer.replies["KASS"] = ErrorReply("HARDCUTTER");
    EXPECT_EQ(h.engine->NullCheck(), 1);
    EXPECT_EQ(h.engine->ErrorNumber, 0u);
    EXPECT_STREQ(h.engine->ErrorCode, "");

    h.printer.replies["NULL"] = ErrorReply("SOFTPAPER");
    EXPECT_EQ(h.engine->NullCheck(), 0);
    EXPECT_STREQ(h.engine->ErrorCode, "SOFTPAPER");
}

TEST(Reports, PrinterRefusalOfAReportIsTheCallersFailure) {
    Harness h;
    h.Connect();
    h.printer.replies["NREP"] = ErrorReply("SOFTSLNREP");
    EXPECT_EQ(h.engine->ZReport(), 0);
    EXPECT_EQ(h.engine->ErrorNumber, 33u);
    h.printer.replies["NREP"] = ErrorReply("SOFTREGIST");
    EXPECT_EQ(h.engine->ZReport(), 1);  // not fiscalized yet counts as done
}

TEST(Reports, OverLongExternalDisplayTextIsRefusedWhole) {
    Harness h;
    h.Connect();
    std::string text(400, 'A');
    EXPECT_EQ(h.engine->PutToExternalDisplay(text.c_str(), 0), 0);
    EXPECT_TRUE(h.line.Commands().empty());
}

}  // namespace
}  // namespace brenvik::test
