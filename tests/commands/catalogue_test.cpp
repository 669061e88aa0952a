#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/commands/command_test_util.h"

namespace brenvik::test {
namespace {

using Call = std::function<int32_t(PrinterEngine&)>;

TEST(CommandCatalogue, SingleCommandsSendTheirExactText) {
    const std::string x100(100, 'x');
    const struct {
        std::string command;  // code page 1251
        bool raw;             // sent without code-page conversion
        Call call;
    } cases[] = {
        {"TMOD0", false, [](PrinterEngine& e) { return e.SetCheckMessagesMode(7); }},
        {"TMOD3", false, [](PrinterEngine& e) { return e.SetCheckMessagesMode(3); }},
        {"FINF" + std::string(86, 'x'), false, [&](PrinterEngine& e) { return e.LongName(x100.c_str()); }},
        {"FINFМолоко 2,5%", false, [](PrinterEngine& e) { return e.LongName("Молоко 2,5%"); }},
        {"TEXT001Дякуємо", false, [](PrinterEngine& e) { return e.FreeTextLine(1, 0, 1, "Дякуємо"); }},
        {"TEXT110a", false, [](PrinterEngine& e) { return e.FreeTextLine(0, 5, 0, "a"); }},
        {"TEXT000" + std::string(43, 'x'), false,
         [&](PrinterEngine& e) { return e.FreeTextLine(1, 0, 0, x100.c_str()); }},
        {"PPOD", false, [](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(0); }},
        {"PPOD", false, [](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(-4); }},
        {"PPOD2", false, [](PrinterEngine& e) { return e.SetOnSaleTaxesPrintMode(2); }},
        {"NPDI1", false, [](PrinterEngine& e) { return e.SetDiscountPrintMode(1); }},
        {"NPDI0", false, [](PrinterEngine& e) { return e.SetDiscountPrintMode(2); }},
        {"NCDC0", false, [](PrinterEngine& e) { return e.SetContinousPaperPrintMode(-1); }},
        {"SENCгрн", false, [](PrinterEngine& e) { return e.SetCurrentCurrency("грн"); }},
        {"GRBGНапої", true, [](PrinterEngine& e) { return e.OpenGoodsGroup("Напої"); }},
        {"GRENЗнижкаНадбавка", true, [](PrinterEngine& e) { return e.CloseGoodsGroup("Знижка", "Надбавка"); }},
        {"ZDNMЗнижкаНадбавка", true,
         [](PrinterEngine& e) { return e.SetDiscountUpcountTotalsName("Знижка", "Надбавка"); }},
        {"NLPRАА", false, [](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(1, 9); }},
        {"NLPRВЗ", false, [](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(3, 8); }},
        {"NLPRАБ", false, [](PrinterEngine& e) { return e.SetDoubledTaxCalcMode(0, 2); }},
        {"PCOD12104820001", true, [](PrinterEngine& e) { return e.PrintBarcode(12, 1, 0, "4820001"); }},
        {"ARMO0", false, [](PrinterEngine& e) { return e.SetArticleMode(5); }},
        {"ARMO2", false, [](PrinterEngine& e) { return e.SetArticleMode(2); }},
        {"TABLB", false, [](PrinterEngine& e) { return e.SetTableMode(7); }},
        {"TABL", false, [](PrinterEngine& e) { return e.SetTableMode(0); }},
        {"DEPTБакалія", false, [](PrinterEngine& e) { return e.SetDeptAlias("Бакалія"); }},
        {"BOTMЩе раз", false, [](PrinterEngine& e) { return e.SetCheckBottomLine("Ще раз"); }},
        {"BOTm", false, [](PrinterEngine& e) { return e.SetCheckBottomLineEx(-1, 1, 1, "ігнор"); }},
        {"BOTm2", false, [](PrinterEngine& e) { return e.SetCheckBottomLineEx(2, 1, 0, ""); }},
        {"BOTm3", false, [](PrinterEngine& e) { return e.SetCheckBottomLineEx(3, 0, 0, nullptr); }},
        {"BOTm210Дякуємо", false, [](PrinterEngine& e) { return e.SetCheckBottomLineEx(2, 1, 0, "Дякуємо"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        EXPECT_EQ(c.call(*h.engine), 1);
        EXPECT_EQ(OnlyCommand(h), c.raw ? c.command : OnWire(c.command));
    }
}

// The lines whose arguments differ from the command, or whose text is odd.
TEST(CommandCatalogue, LogLinesShowTheArgumentsAsDocumented) {
    const struct {
        Call call;
        std::string line;
    } cases[] = {
        {[](PrinterEngine& e) { return e.SetCheckMessagesMode(7); },
         "F:TMOD(7) Определение набора служебных сообщений на чеке"},
        {[](PrinterEngine& e) { return e.FreeTextLine(1, 0, 9, "Дякуємо"); },
         "F:TEXT(0, 0, 1, Дякуємо) Печать фискального текста"},
        {[](PrinterEngine& e) { return e.CloseGoodsGroup("Знижка", "Надбавка"); },
         "F:GRBG(Знижка,Надбавка) Закрытие группы фискальных позиций в пределах чека. "},
        {[](PrinterEngine& e) { return e.PrintBarcode(12, 1, 0, "4820001"); },
         "F:PCOD(12,1,0,4820001) Штрихкодовые символы «Код128» в чеке "},
        {[](PrinterEngine& e) { return e.SetTableMode(7); },
         "F:TABL(1) Управление видом представления фискальной информации на чеке"},
        {[](PrinterEngine& e) { return e.SetLinePrintingOn(); },
         "F:STFL() Установка режима «построчной» печати чека"},
        {[](PrinterEngine& e) { return e.SetCheckBottomLineEx(2, 1, 0, "Дякуємо"); },
         "F:BOTm(2, 1, 0, Дякуємо) Программирование нескольких необязательных заключительных строк на чеке."},
        {[](PrinterEngine& e) { return e.SetCheckBottomLineEx(2, 1, 0, ""); },
         "F:BOTm(2) Программирование нескольких необязательных заключительных строк на чеке."},
    };
    for (const auto& c : cases) {
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        c.call(*h.engine);
        EXPECT_TRUE(h.log.Has(c.line)) << c.line;
    }
    // Clearing the extra bottom lines logs after the command.
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.engine->SetCheckBottomLineEx(-1, 0, 0, "");
    auto m = h.log.Messages();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(m.back(),
              "F:BOTm() Программирование нескольких необязательных заключительных строк на чеке.");
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

TEST(CommandCatalogue, LinkDownSendsAndLogsNothingAndReportsThePreviousOutcome) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.printer.replies["CTXT"] = ErrorReply("SOFTPAPER");
    h.engine->ClearFreeTextLines();
    h.engine->Connected = 0;
    h.Forget();
    PrinterEngine& e = *h.engine;
    const std::function<int32_t()> calls[] = {
        [&] { return e.SetCheckMessagesMode(1); }, [&] { return e.LongName("a"); },
        [&] { return e.FreeTextLine(0, 0, 0, "a"); }, [&] { return e.ClearFreeTextLines(); },
        [&] { return e.SetOnSaleTaxesPrintMode(1); }, [&] { return e.SetLinePrintingOn(); },
        [&] { return e.SetCheckBottomLineEx(-1, 0, 0, ""); }, [&] { return e.SetDiscountPrintMode(1); },
        [&] { return e.SetContinousPaperPrintMode(1); }, [&] { return e.SetCurrentCurrency("a"); },
        [&] { return e.OpenGoodsGroup("a"); }, [&] { return e.CloseGoodsGroup("a", "b"); },
        [&] { return e.SetDiscountUpcountTotalsName("a", "b"); },
        [&] { return e.SetDoubledTaxCalcMode(1, 2); }, [&] { return e.PrintBarcode(1, 1, 1, "1"); },
        [&] { return e.SetArticleMode(1); }, [&] { return e.SetDeptAlias("a"); },
        [&] { return e.SetCheckHeadLine("a"); }, [&] { return e.SetCheckBottomLine("a"); },
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
