// The paper: what a customer would get, as UTF-8 text in the journal.
#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

size_t Chars(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t p = 0, nl;
    while ((nl = text.find('\n', p)) != std::string::npos) {
        lines.push_back(text.substr(p, nl - p));
        p = nl + 1;
    }
    return lines;
}

class Journal : public PrinterTest {};

TEST_F(Journal, ACheckIsPrintedWhenItIsClosedAndLooksLikeAReceipt) {
    ASSERT_EQ(printer.Control("key 8"), "OK");
    ASSERT_EQ(Status(Cmd("HEADвул. Тестова, 1")), "DONE");
    ASSERT_EQ(Status(Cmd("BOTMДякуємо за покупку!")), "DONE");
    ASSERT_EQ(printer.Control("key 1"), "OK");
    OpenCheck();
    ASSERT_EQ(Status(Cmd("TEXT000Знижки тижня")), "DONE");
    Sale bread;
    bread.name = "Батон пшеничний";
    bread.sum = 2100, bread.price = 1050, bread.qty = 2;
    ASSERT_EQ(Status(Line(bread)), "DONE");
    EXPECT_EQ(paper, "") << "nothing is on the journal before the check is closed";
    ASSERT_EQ(Status(Cmd(Comp(2100, 0, 0, 0, 0, 5000))), "DONE");

    const std::string expected[] = {
        "ТОВ \"Демо-Маркет\"", "вул. Тестова, 1", "ЗН 4000012345", "ФН 3000054321", "Касир: Iваненко",
        "Знижки тижня",          "Батон пшеничний",  "  2 x 10.50",    "21.00 А",       "СУМА",
        "ПДВ А 20.00%",         "3.50",            "ДО СПЛАТИ",     "ГОТІВКА",       "50.00",
        "РЕШТА",                "29.00",           "ЧЕК № 1",       "ФІСКАЛЬНИЙ ЧЕК", "Дякуємо за покупку!"};
    size_t at = 0;
    for (const std::string& e : expected) {
        const size_t p = paper.find(e, at);
        ASSERT_NE(p, std::string::npos) << "'" << e << "' in order in:\n" << paper;
        at = p + e.size();
    }
    for (const std::string& l : Lines(paper)) EXPECT_LE(Chars(l), 43u) << l;
}

TEST_F(Journal, CancelledCheckAndTextDocumentAndCopy) {
    OpenCheck();
    ASSERT_EQ(Status(Line(Sale{})), "DONE");
    ASSERT_EQ(Status(Cmd("CANC")), "DONE");
    EXPECT_NE(paper.find("ЧЕК АНУЛЬОВАНО"), std::string::npos);
    EXPECT_EQ(State("last_check_number"), "0") << "a cancelled check gets no check number";

    paper.clear();
    ASSERT_EQ(Status(Cmd("TEXT100Рядок перший")), "DONE");
    ASSERT_EQ(Status(Cmd("FINFДругий рядок")), "DONE");
    ASSERT_EQ(Status(Cmd("DBEG1")), "DONE");
    ASSERT_EQ(Status(Cmd("PRTX")), "DONE");
    EXPECT_NE(paper.find("СЛУЖБОВИЙ ДОКУМЕНТ"), std::string::npos);
    EXPECT_LT(paper.find("Рядок перший"), paper.find("Другий рядок"));
    EXPECT_EQ(Status(Cmd("PRTX")), "SOFTPROTOC") << "no document open";
    EXPECT_EQ(Status(Cmd("TEXT000" + std::string(44, 'x'))), "SOFTPARAM") << "43 characters a line";

    EXPECT_EQ(Status(Cmd("COPY")), "SOFTPROTOC") << "no check to copy yet";
    ASSERT_EQ(Status(Cmd("PREP1")), "DONE");
    ASSERT_EQ(Status(Line(Sale{})), "DONE");
    ASSERT_EQ(Status(Cmd(Comp(1050, 0, 0, 0, 0, 1050))), "DONE");
    paper.clear();
    ASSERT_EQ(Status(Cmd("COPY")), "DONE");
    const size_t first = paper.find("КОПІЯ");
    ASSERT_NE(first, std::string::npos);
    const size_t second = paper.find("КОПІЯ", first + 1);
    ASSERT_NE(second, std::string::npos) << "the copy is marked above and below";
    EXPECT_LT(first, paper.find("ЧЕК № 1"));
    EXPECT_GT(second, paper.find("ЧЕК № 1"));
}

TEST_F(Journal, NarrowVariantPrintsNarrowerLines) {
    m301sim::Config c;
    c.variant = "vTTs";
    m301sim::Printer p(c);
    std::string narrow;
    p.SetJournalSink([&narrow](const std::string& d) { narrow += d; });
    ASSERT_EQ(Status(p.Command(ToPrinterText("UPAS0000Іван"))), "DONE");
    ASSERT_EQ(Status(p.Command("CAIOI0000001500")), "DONE");
    ASSERT_EQ(Status(p.Command(ToPrinterText("TEXT000" + std::string(37, 'x')))), "SOFTPARAM");
    for (const std::string& l : Lines(narrow)) EXPECT_LE(Chars(l), 36u) << l;
    EXPECT_NE(narrow.find(std::string(36, '=')), std::string::npos);
}

}  // namespace
}  // namespace simtest
