#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/commands/command_test_util.h"

namespace brenvik::test {
namespace {

struct SingleCase {
    const char* what;
    std::function<int32_t(PrinterEngine&)> call;
    std::string command;  // code page 1251; converted before comparing unless raw
    bool raw;             // sent without code-page conversion
    std::string logLine;
};

TEST(CommandCatalogue, SingleCommandsSendTheirExactTextAndLogLine) {
    const std::string x100(100, 'x');
    const SingleCase cases[] = {
        {"TMOD out of range", [](PrinterEngine& e) { return e.SetCheckMessagesMode(7); }, "TMOD0", false,
         "F:TMOD(7) Определение набора служебных сообщений на чеке"},
        {"TMOD 3", [](PrinterEngine& e) { return e.SetCheckMessagesMode(3); }, "TMOD3", false,
         "F:TMOD(3) Определение набора служебных сообщений на чеке"},
        {"FINF cut to 86", [&](PrinterEngine& e) { return e.LongName(x100.c_str()); },
         "FINF" + std::string(86, 'x'), false, "F:FINF(" + x100 + ") Печать нефискального текста"},
        {"FINF short, unpadded", [](PrinterEngine& e) { return e.LongName("Молоко 2,5%"); },
         "FINFМолоко 2,5%", false, "F:FINF(Молоко 2,5%) Печать нефискального текста"},
        {"TEXT after, no journal, bold", [](PrinterEngine& e) { return e.FreeTextLine(1, 0, 1, "Дякуємо"); },
         "TEXT001Дякуємо", false, "F:TEXT(0, 0, 1, Дякуємо) Печать фискального текста"},
        {"TEXT before, journal", [](PrinterEngine& e) { return e.FreeTextLine(0, 5, 0, "a"); }, "TEXT110a",
         false, "F:TEXT(1, 1, 0, a) Печать фискального текста"},
        {"TEXT cut to 43", [&](PrinterEngine& e) { return e.FreeTextLine(1, 0, 0, x100.c_str()); },
         "TEXT000" + std::string(43, 'x'), false,
         "F:TEXT(0, 0, 0, " + x100 + ") Печать фискального текста"},
        {"CTXT", [](PrinterEngine& e) { return e.ClearFreeTextLines(); }, "CTXT", false,
         "F:CTXT() Очистка текстовых массивов"},
        {"PPOD 0", [](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(0); }, "PPOD", false,
         "F:PPOD(0) Определение режима печати информации о наложенных налогах."},
        {"PPOD negative", [](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(-4); }, "PPOD", false,
         "F:PPOD(-4) Определение режима печати информации о наложенных налогах."},
        {"PPOD 2", [](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(2); }, "PPOD2", false,
         "F:PPOD(2) Определение режима печати информации о наложенных налогах."},
        {"STFL", [](PrinterEngine& e) { return e.SetLinePrintingOn(); }, "STFL", false,
         "F:STFL() Установка режима «построчной» печати чека"},
        {"NPDI 1", [](PrinterEngine& e) { return e.SetDiscountPrintMode(1); }, "NPDI1", false,
         "F:NPDI() Управление печатью информации о скидках-надбавках в чеке."},
        {"NPDI other", [](PrinterEngine& e) { return e.SetDiscountPrintMode(2); }, "NPDI0", false,
         "F:NPDI() Управление печатью информации о скидках-надбавках в чеке."},
        {"NCDC 1", [](PrinterEngine& e) { return e.SetContinousPaperPrintMode(1); }, "NCDC1", false,
         "F:NCDC() Управление печатью документов на непрерывной ленте."},
        {"NCDC other", [](PrinterEngine& e) { return e.SetContinousPaperPrintMode(-1); }, "NCDC0", false,
         "F:NCDC() Управление печатью документов на непрерывной ленте."},
        {"SENC", [](PrinterEngine& e) { return e.SetCurrentCurrency("грн"); }, "SENCгрн", false,
         "F:SENC() Установка наименования национальной денежной единицы"},
        {"GRBG unconverted", [](PrinterEngine& e) { return e.OpenGoodsGroup("Напої"); }, "GRBGНапої", true,
         "F:GRBG(Напої) Открытие новой группы фискальных позиций в пределах чека."},
        {"GREN unconverted", [](PrinterEngine& e) { return e.CloseGoodsGroup("Знижка", "Надбавка"); },
         "GRENЗнижкаНадбавка", true,
         "F:GRBG(Знижка,Надбавка) Закрытие группы фискальных позиций в пределах чека. "},
        {"ZDNM unconverted",
         [](PrinterEngine& e) { return e.SetDiscountUpcountTotalsName("Знижка", "Надбавка"); },
         "ZDNMЗнижкаНадбавка", true,
         "F:ZDNM(Знижка,Надбавка) Установка наименования итогов по скидкам-надбавкам в чеке."},
        {"NLPR 1 9", [](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(1, 9); }, "NLPRАА", false,
         "F:NLPR(1, 9) Управление двумя налогами"},
        {"NLPR 3 8", [](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(3, 8); }, "NLPRВЗ", false,
         "F:NLPR(3, 8) Управление двумя налогами"},
        {"NLPR 0 2", [](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(0, 2); }, "NLPRАБ", false,
         "F:NLPR(0, 2) Управление двумя налогами"},
        {"PCOD unfixed widths", [](PrinterEngine& e) { return e.PrintBarcode(12, 1, 0, "4820001"); },
         "PCOD12104820001", true, "F:PCOD(12,1,0,4820001) Штрихкодовые символы «Код128» в чеке "},
        {"ARMO 5", [](PrinterEngine& e) { return e.SetArticleMode(5); }, "ARMO0", false,
         "F:ARMO(5) Установка режима работы артикульной таблицы"},
        {"ARMO 2", [](PrinterEngine& e) { return e.SetArticleMode(2); }, "ARMO2", false,
         "F:ARMO(2) Установка режима работы артикульной таблицы"},
        {"TABL on", [](PrinterEngine& e) { return e.SetTableMode(7); }, "TABLB", false,
         "F:TABL(1) Управление видом представления фискальной информации на чеке"},
        {"TABL off", [](PrinterEngine& e) { return e.SetTableMode(0); }, "TABL", false,
         "F:TABL(0) Управление видом представления фискальной информации на чеке"},
        {"DEPT", [](PrinterEngine& e) { return e.SetDeptAlias("Бакалія"); }, "DEPTБакалія", false,
         "F:DEPT(Бакалія) Программирование мнемоники торгового отдела"},
        {"HEAD", [](PrinterEngine& e) { return e.SetCheckHeadLine("ТОВ Корвел"); }, "HEADТОВ Корвел", false,
         "F:HEAD(ТОВ Корвел) Программирование заголовочной информационной строки на чеке"},
        {"BOTM", [](PrinterEngine& e) { return e.SetCheckBottomLine("Ще раз"); }, "BOTMЩе раз", false,
         "F:BOTM(Ще раз) Программирование необязательной заключительной строки на чеке"},
        {"BOTm clear", [](PrinterEngine& e) { return e.SetCheckBottomLineEx(-1, 1, 1, "ігнор"); }, "BOTm",
         false, "F:BOTm() Программирование нескольких необязательных заключительных строк на чеке."},
        {"BOTm index only", [](PrinterEngine& e) { return e.SetCheckBottomLineEx(2, 1, 0, ""); }, "BOTm2",
         false, "F:BOTm(2) Программирование нескольких необязательных заключительных строк на чеке."},
        {"BOTm NULL text", [](PrinterEngine& e) { return e.SetCheckBottomLineEx(3, 0, 0, nullptr); },
         "BOTm3", false,
         "F:BOTm(3) Программирование нескольких необязательных заключительных строк на чеке."},
        {"BOTm with text", [](PrinterEngine& e) { return e.SetCheckBottomLineEx(2, 1, 0, "Дякуємо"); },
         "BOTm210Дякуємо", false,
         "F:BOTm(2, 1, 0, Дякуємо) Программирование нескольких необязательных заключительных строк на "
         "чеке."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        EXPECT_EQ(c.call(*h.engine), 1);
        EXPECT_EQ(OnlyCommand(h), c.raw ? c.command : OnWire(c.command));
        EXPECT_TRUE(h.log.Has(c.logLine)) << h.log.content;
    }
}

TEST(CommandCatalogue, NarrowVariantCutsFinfAndText) {
    Harness h;
    h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20050208", "vTTs"));
    ASSERT_EQ(h.Connect(), 1);
    const std::string x100(100, 'x');
    h.engine->LongName(x100.c_str());
    h.engine->FreeTextLine(1, 1, 1, x100.c_str());
    auto c = h.line.Commands();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], "FINF" + std::string(72, 'x'));
    EXPECT_EQ(c[1], "TEXT011" + std::string(36, 'x'));
}

TEST(CommandCatalogue, RefusalComesBackAsFalse) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.printer.replies["HEAD"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(h.engine->SetCheckHeadLine("x"), 0);
    EXPECT_EQ(h.engine->ErrorNumber, 24u);
    h.printer.replies["HEAD"] = ErrorReply("SOFTREGIST");  // not fiscalized counts as success
    EXPECT_EQ(h.engine->SetCheckHeadLine("x"), 1);
}

TEST(CommandCatalogue, LinkDownSendsAndLogsNothingAndReportsThePreviousOutcome) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.printer.replies["CTXT"] = ErrorReply("SOFTPAPER");
    h.engine->ClearFreeTextLines();
    h.engine->Connected = 0;
    h.Forget();
    PrinterEngine& e = *h.engine;
    const std::function<int32_t()> calls[] = {
        [&] { return e.SetCheckMessagesMode(1); },
        [&] { return e.LongName("a"); },
        [&] { return e.FreeTextLine(0, 0, 0, "a"); },
        [&] { return e.ClearFreeTextLines(); },
        [&] { return e.SetOnSaleTaxesPrintMode(1); },
        [&] { return e.SetLinePrintingOn(); },
        [&] { return e.SetCheckBottomLineEx(-1, 0, 0, ""); },
        [&] { return e.SetDiscountPrintMode(1); },
        [&] { return e.SetContinousPaperPrintMode(1); },
        [&] { return e.SetCurrentCurrency("a"); },
        [&] { return e.OpenGoodsGroup("a"); },
        [&] { return e.CloseGoodsGroup("a", "b"); },
        [&] { return e.SetDiscountUpcountTotalsName("a", "b"); },
        [&] { return e.SetDoubledTaxCalcMode(1, 2); },
        [&] { return e.PrintBarcode(1, 1, 1, "1"); },
        [&] { return e.SetArticleMode(1); },
        [&] { return e.SetDeptAlias("a"); },
        [&] { return e.SetCheckHeadLine("a"); },
        [&] { return e.SetCheckBottomLine("a"); },
    };
    for (const auto& call : calls) EXPECT_EQ(call(), 0);
    EXPECT_EQ(e.ErrorNumber, 81u);
    EXPECT_TRUE(h.line.writes.empty());
    EXPECT_TRUE(h.log.content.empty()) << h.log.content;
}

TEST(CommandCatalogue, TableModeIsHandedToTheLinkEvenWhenNotConnected) {
    Harness h;  // never connected: no port is open
    EXPECT_EQ(h.engine->SetTableMode(1), 0);
    EXPECT_TRUE(h.log.Has("F:TABL(1) Управление видом представления фискальной информации на чеке"));
    EXPECT_NE(h.log.content.find("Посылка В регистратор: \xFDTABLB\x06\xFE"), std::string::npos)
        << h.log.content;
    EXPECT_TRUE(h.line.writes.empty());  // the closed port takes nothing
    EXPECT_EQ(h.engine->ErrorNumber, kErrTimeout);
}

TEST(CommandCatalogue, NullAndOverlongTextsAreSafe) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    PrinterEngine& e = *h.engine;
    EXPECT_EQ(e.SetCheckHeadLine(nullptr), 1);
    EXPECT_EQ(e.CloseGoodsGroup(nullptr, nullptr), 1);
    EXPECT_EQ(e.FreeTextLine(1, 0, 0, nullptr), 1);
    EXPECT_EQ(e.LongName(nullptr), 1);
    auto c = h.line.Commands();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0], "HEAD");
    EXPECT_EQ(c[1], "GREN");
    EXPECT_EQ(c[2], "TEXT000");
    EXPECT_EQ(c[3], "FINF");

    // A text that makes the command longer than the printer takes is never
    // sent cut short; one that just fits goes out whole.
    h.Forget();
    const std::string fits(247, 'h'), over(248, 'h'), huge(100000, 'h');
    EXPECT_EQ(e.SetCheckHeadLine(fits.c_str()), 1);
    EXPECT_EQ(e.SetCheckHeadLine(over.c_str()), 0);
    EXPECT_EQ(e.ErrorNumber, kErrCommandTooLong);
    EXPECT_EQ(e.OpenGoodsGroup(huge.c_str()), 0);
    EXPECT_EQ(e.ErrorNumber, kErrCommandTooLong);
    c = h.line.Commands();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0], "HEAD" + fits);
}

TEST(CommandCatalogue, AutomationOnlyModesSendNothing) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    EXPECT_EQ(h.engine->SetTaxesCalcMode(1), 1);
    EXPECT_EQ(h.engine->SetPrintingDoubleWidth(1), 0);
    EXPECT_TRUE(h.line.writes.empty());
}

TEST(CommandCatalogue, TaxesInfoIsTheRecordsWithoutTagAndLengthByte) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    EXPECT_EQ(std::string(h.engine->GetTaxesInfo()), Printer::CnalData().substr(4));
    EXPECT_EQ(OnlyCommand(h), "CNAL");

    h.printer.replies["CNAL"] = ErrorReply("SOFTPAPER");
    EXPECT_STREQ(h.engine->GetTaxesInfo(), "");
}

TEST(CommandCatalogue, ArticleQueriesUseTheFormatOfThePrinter) {
    const std::string data = "ARTD" + std::string(57, '7');
    {
        Harness h;
        h.printer.replies["ARTD"] = DoneReply(data);
        ASSERT_EQ(h.Connect(), 1);
        EXPECT_EQ(std::string(h.engine->GetArticleInfo(12345)), data.substr(4));
        EXPECT_EQ(OnlyCommand(h), "ARTDC345");
        EXPECT_TRUE(h.log.Has("F:GetArticleInfo(12345)"));
        EXPECT_TRUE(h.log.Has("F:ARTD(12345) Запрос регистра учета реализации артикула."));
        EXPECT_TRUE(h.log.Has("F:GetArticleInfo()=" + data.substr(4)));
    }
    {
        Harness h;
        h.printer.replies["GLCN"] = DoneReply("GLCN" + Printer::GlcnData('2'));
        ASSERT_EQ(h.Connect(), 1);
        h.engine->ReadArticle(12345);
        EXPECT_EQ(OnlyCommand(h), "ARTD000012345");
    }
    {
        Harness h;
        h.printer.replies["ARTD"] = ErrorReply("SOFTBADART");
        ASSERT_EQ(h.Connect(), 1);
        EXPECT_STREQ(h.engine->GetArticleInfo(7), "");
        EXPECT_EQ(h.engine->ErrorNumber, 42u);
        EXPECT_FALSE(h.log.Has("F:GetArticleInfo()="));
    }
}

TEST(CommandCatalogue, ArticleOutsideTheCodeIsRefusedUnsent) {
    for (bool longArticles : {false, true}) {
        Harness h;
        if (longArticles) h.printer.replies["GLCN"] = DoneReply("GLCN" + Printer::GlcnData('2'));
        ASSERT_EQ(h.Connect(), 1);
        for (int32_t article : {-1, longArticles ? 1000000000 : 21000}) {
            SCOPED_TRACE(article);
            EXPECT_STREQ(h.engine->GetArticleInfo(article), "");
            EXPECT_EQ(h.engine->ErrorNumber, kErrFieldOverflow);
            EXPECT_STREQ(h.engine->ErrorCode, "FIELDOVERFLOW");
        }
        EXPECT_TRUE(h.line.writes.empty());
    }
}

}  // namespace
}  // namespace brenvik::test
