#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "tests/commands/command_test_util.h"

namespace brenvik::test {
namespace {

const std::string k7Empty = "000000000000000000000000000000000000000000";  // tax slots 2 to 8

SaleLine Bread() {
    SaleLine l;
    l.name = "Хлеб";
    l.sum = 350;
    l.price = 350;
    l.quantity = 1;
    l.pieceFlag = 1;
    l.taxes[0] = 1;
    l.article = 12;
    return l;
}

// Connected on the short format; `glcnMode` '2' selects the long one.
void ConnectWith(Harness& h, char glcnMode = '1', const char* variant = "vMTM") {
    h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20050208", variant));
    h.printer.replies["GLCN"] = DoneReply("GLCN" + Printer::GlcnData(glcnMode));
    ASSERT_EQ(h.Connect(), 1);
}

TEST(SaleLines, ShortSaleIsTheDocumentedHundredAndSixteenCharacters) {
    Harness h;
    ConnectWith(h);
    h.printer.replies["FISC"] = DoneReply("FISC0000000150");
    EXPECT_EQ(h.engine->RegistrUniversal(Bread()), 0u);
    const std::string expected = "FISC        Хлеб" "000000350" "000000350" "00001" "1" "0" "А12000" +
                                 k7Empty + "0012" "0" "             " "000000000";
    ASSERT_EQ(expected.size(), 116u);
    EXPECT_EQ(OnlyCommand(h), OnWire(expected));
    EXPECT_EQ(h.engine->CheckSumm, 350);
    EXPECT_EQ(h.engine->CheckOnSaleTaxes, 150);
    EXPECT_TRUE(h.log.Has("F:RegistrUniversal(Хлеб, 350, 350, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 12, , 0) "
                          "Продажа товара (Универсальная)"));
    EXPECT_TRUE(h.log.Has("F:FISC(Хлеб, 350, 350, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 12, , 0) Продажа товара"));
}

TEST(SaleLines, ShortNameHeadAndContinuation) {
    struct Case {
        const char* what;
        const char* variant;
        std::string name;
        int32_t pieceFlag;
        std::string head, continuation;
    };
    const std::string n60 = "ABCDEFGHIJKL" + std::string(48, 'm');
    const Case cases[] = {
        {"exactly 12, none", "vMTM", "Хліб житній1", 1, "Хліб житній1", ""},
        {"weighed 13 padded to 30", "vMTM", "Хліб житній1Ж", 0, "Хліб житній1", "Ж" + std::string(29, ' ') + "."},
        {"weighed narrow 23", "vTTs", "Хліб житній1Ж", 0, "Хліб житній1", "Ж" + std::string(22, ' ') + "."},
        {"weighed cut to 30", "vMTM", n60, 0, "ABCDEFGHIJKL", std::string(30, 'm') + "."},
        {"piece cut to 43", "vMTM", n60, 1, "ABCDEFGHIJKL", std::string(43, 'm')},
        {"piece narrow 36", "vTTs", n60, 1, "ABCDEFGHIJKL", std::string(36, 'm')},
        {"empty name", "vMTM", "", 1, std::string(12, ' '), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        ConnectWith(h, '1', c.variant);
        SaleLine l = Bread();
        l.name = c.name.c_str();
        l.pieceFlag = c.pieceFlag;
        h.engine->RegistrUniversal(l);
        std::string sent = OnlyCommand(h);
        ASSERT_GE(sent.size(), 116u);
        EXPECT_EQ(sent.substr(4, 12), OnWire(c.head));
        EXPECT_EQ(sent.substr(116), OnWire(c.continuation));
        EXPECT_EQ(sent[39], c.pieceFlag ? '1' : '0');
    }
}

TEST(SaleLines, ShortTaxSlotsAndNarrowSlotEight) {
    Harness h;
    ConnectWith(h, '1', "vTTs");
    SaleLine l = Bread();
    l.taxes[0] = 0;
    l.taxes[1] = 1;
    l.taxes[7] = 1;  // never sent by the narrow variant
    h.engine->RegistrUniversal(l);
    EXPECT_EQ(OnlyCommand(h).substr(41, 48), OnWire("000000" "Б10700" + std::string(36, '0')));

    Harness wide;
    ConnectWith(wide);
    wide.engine->RegistrUniversal(l);
    EXPECT_EQ(OnlyCommand(wide).substr(41, 48),
              OnWire("000000" "Б10700" + std::string(30, '0') + "З00000"));
}

TEST(SaleLines, DiscountSignNameAndTotal) {
    struct Case {
        int32_t discount;
        const char* name;
        std::string field;  // sign, name, value
        int32_t total;
    };
    const Case cases[] = {
        {-150, "Знижка", std::string("-") + "       Знижка" + "000000150", 200},
        {150, "Надбавка", std::string("+") + "     Надбавка" + "000000150", 500},
        {0, "", std::string("0") + std::string(13, ' ') + "000000000", 350},
        {-5, "Тринадцять 13", std::string("-") + "Тринадцять 13" + "000000005", 345},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.discount);
        Harness h;
        ConnectWith(h);
        SaleLine l = Bread();
        l.discount = c.discount;
        l.discountName = c.name;
        h.engine->RegistrUniversal(l);
        EXPECT_EQ(OnlyCommand(h).substr(93, 23), OnWire(c.field));
        EXPECT_EQ(h.engine->CheckSumm, c.total);
    }
}

TEST(SaleLines, LongFormatLine) {
    Harness h;
    ConnectWith(h, '2');
    SaleLine l = Bread();
    l.taxes[0] = 0;
    l.taxes[4] = 1;
    l.taxes[1] = 1;
    l.quantity = 2500;
    l.pieceFlag = 0;
    l.article = 123456789;
    l.discount = -50;
    l.discountName = "Знижка";
    EXPECT_EQ(h.engine->RegistrUniversal(l), 0u);
    const std::string expected = "FICD" + std::string(20, ' ') + "Хлеб" + "000000350" "000000350" "002500" "0"
                                 "0" "БД" "123456789" "-" "       Знижка" "000000050";
    ASSERT_EQ(expected.size(), 88u);
    EXPECT_EQ(OnlyCommand(h), OnWire(expected));
    EXPECT_EQ(h.engine->CheckSumm, 300);
    EXPECT_TRUE(h.log.Has("F:FICD(Хлеб, 350, 350, 2500, 0, 0, 2, 5, 123456789, Знижка, -50) Продажа товара"));
}

TEST(SaleLines, LongFormatTaxLettersAndContinuation) {
    struct Case {
        std::initializer_list<int> taxes;
        std::string letters;
    };
    const Case cases[] = {{{}, "00"}, {{3}, "В0"}, {{5, 2}, "БД"}, {{1, 3, 7}, "АВ"}, {{8}, "З0"}};
    for (const auto& c : cases) {
        Harness h;
        ConnectWith(h, '2');
        SaleLine l = Bread();
        l.taxes[0] = 0;
        for (int t : c.taxes) l.taxes[t - 1] = 1;
        h.engine->RegistrUniversal(l);
        EXPECT_EQ(OnlyCommand(h).substr(54, 2), OnWire(c.letters));
    }
    Harness h;
    ConnectWith(h, '2');
    const std::string name = std::string(24, 'n') + std::string(200, 'c');
    SaleLine l = Bread();
    l.name = name.c_str();
    h.engine->RegistrUniversal(l);
    EXPECT_EQ(OnlyCommand(h).substr(4, 24), std::string(24, 'n'));
    EXPECT_EQ(OnlyCommand(h).substr(88), std::string(104, 'c'));
}

TEST(SaleLines, ReturnRaisesOnlyTheReturnTotal) {
    for (char mode : {'1', '2'}) {
        Harness h;
        ConnectWith(h, mode);
        EXPECT_EQ(h.engine->ReturnUniversal(Bread()), 0u);
        EXPECT_EQ(OnlyCommand(h).substr(0, 4), mode == '1' ? "BFIS" : "BFCD");
        EXPECT_EQ(h.engine->CheckReturnSumm, 350);
        EXPECT_EQ(h.engine->CheckSumm, 0);
        EXPECT_EQ(h.engine->ReturnLineMode, 0);
        EXPECT_TRUE(h.log.Has(mode == '1' ? "F:BFIS() Возврат товара" : "F:BFCD() Возврат товара"));
    }
}

TEST(SaleLines, RefusedLineKeepsTheRaisedTotal) {
    Harness h;
    ConnectWith(h);
    h.printer.replies["FISC"] = ErrorReply("SOFTCHECK");
    h.printer.replies["BFIS"] = ErrorReply("SOFTCHECK");
    EXPECT_EQ(h.engine->RegistrUniversal(Bread()), 29u);
    EXPECT_EQ(h.engine->ReturnUniversal(Bread()), 29u);
    EXPECT_EQ(h.engine->CheckSumm, 350);
    EXPECT_EQ(h.engine->CheckReturnSumm, 350);
}

TEST(SaleLines, LinkDownSendsNothingAndKeepsTotals) {
    Harness h;
    ConnectWith(h);
    h.engine->Connected = 0;
    h.engine->ErrorNumber = 81;
    EXPECT_EQ(h.engine->RegistrUniversal(Bread()), 81u);
    EXPECT_EQ(h.engine->ReturnUniversal(Bread()), 81u);
    EXPECT_TRUE(h.line.writes.empty());
    EXPECT_TRUE(h.log.content.empty());
    EXPECT_EQ(h.engine->CheckSumm, 0);
    EXPECT_EQ(h.engine->CheckReturnSumm, 0);
}

TEST(SaleLines, ValuesWiderThanTheirFieldsAreRefusedUnsent) {
    struct Case {
        const char* what;
        char glcnMode;
        void (*change)(SaleLine&, PrinterEngine&);
    };
    const Case cases[] = {
        {"ten-digit sum", '1', [](SaleLine& l, PrinterEngine&) { l.sum = 1000000000; }},
        {"negative sum", '1', [](SaleLine& l, PrinterEngine&) { l.sum = -1; }},
        {"ten-digit price", '2', [](SaleLine& l, PrinterEngine&) { l.price = INT32_MAX; }},
        {"negative price", '1', [](SaleLine& l, PrinterEngine&) { l.price = -350; }},
        {"short quantity 100000", '1', [](SaleLine& l, PrinterEngine&) { l.quantity = 100000; }},
        {"negative quantity", '1', [](SaleLine& l, PrinterEngine&) { l.quantity = -1; }},
        {"long quantity 1000000", '2', [](SaleLine& l, PrinterEngine&) { l.quantity = 1000000; }},
        {"short article 21000", '1', [](SaleLine& l, PrinterEngine&) { l.article = 21000; }},
        {"negative article", '1', [](SaleLine& l, PrinterEngine&) { l.article = -12; }},
        {"long ten-digit article", '2', [](SaleLine& l, PrinterEngine&) { l.article = 1000000000; }},
        {"long negative article", '2', [](SaleLine& l, PrinterEngine&) { l.article = -1; }},
        {"discount name of 14", '1', [](SaleLine& l, PrinterEngine&) { l.discountName = "Знижка до 14 с"; }},
        {"long discount name of 14", '2', [](SaleLine& l, PrinterEngine&) { l.discountName = "12345678901234"; }},
        {"ten-digit discount", '1', [](SaleLine& l, PrinterEngine&) { l.discount = INT32_MIN; }},
        {"unread tax record", '1', [](SaleLine&, PrinterEngine& e) { e.TaxRateTable[0][0] = '\0'; }},
    };
    for (const auto& c : cases) {
        for (bool ret : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (ret ? " (return)" : ""));
            Harness h;
            ConnectWith(h, c.glcnMode);
            SaleLine l = Bread();
            c.change(l, *h.engine);
            uint32_t r = ret ? h.engine->ReturnUniversal(l) : h.engine->RegistrUniversal(l);
            EXPECT_EQ(r, kErrFieldOverflow);
            EXPECT_STREQ(h.engine->ErrorCode, "FIELDOVERFLOW");
            EXPECT_TRUE(h.line.writes.empty());
            EXPECT_EQ(h.engine->CheckSumm, 0);
            EXPECT_EQ(h.engine->CheckReturnSumm, 0);
            EXPECT_EQ(h.engine->ReturnLineMode, 0);
        }
    }
}

TEST(SaleLines, LargestValuesThatFitAreSent) {
    for (char mode : {'1', '2'}) {
        Harness h;
        ConnectWith(h, mode);
        SaleLine l = Bread();
        l.sum = l.price = 999999999;
        l.quantity = mode == '1' ? 99999 : 999999;
        l.article = mode == '1' ? 20999 : 999999999;
        l.discount = -999999999;
        l.discountName = "1234567890123";
        l.lineType = 9;  // unknown line types travel as 0, keeping the layout
        EXPECT_EQ(h.engine->RegistrUniversal(l), 0u);
        std::string sent = OnlyCommand(h);
        EXPECT_EQ(sent.size(), mode == '1' ? 116u : 88u);
        EXPECT_EQ(sent[mode == '1' ? 40 : 53], '0');
    }
}

TEST(SaleLines, WeighedQuantityZeroIsSentAsZeros) {
    for (char mode : {'1', '2'}) {
        Harness h;
        ConnectWith(h, mode);
        SaleLine l = Bread();
        l.pieceFlag = 0;
        l.quantity = 0;
        l.sum = PrinterEngine::LineSum(0, 1999, true);
        h.engine->RegistrUniversal(l);
        EXPECT_EQ(mode == '1' ? OnlyCommand(h).substr(34, 5) : OnlyCommand(h).substr(46, 6),
                  mode == '1' ? "00000" : "000000");
        EXPECT_EQ(h.engine->CheckSumm, 1999);
    }
}

TEST(SaleLineHelpers, ShortArticleCode) {
    const struct {
        int32_t article;
        bool ok;
        const char* code;
    } cases[] = {{12345, true, "C345"}, {7, true, "0007"}, {20999, true, "K999"}, {0, true, "0000"},
                 {9999, true, "9999"},  {10000, true, "A000"}, {21000, false, ""}, {-1, false, ""},
                 {INT32_MIN, false, ""}};
    for (const auto& c : cases) {
        char out[5] = {'x', 'x', 'x', 'x', 'x'};
        EXPECT_EQ(PrinterEngine::EncodeShortArticle(c.article, out), c.ok) << c.article;
        EXPECT_STREQ(out, c.code) << c.article;
    }
}

TEST(SaleLineHelpers, LineSumAndRounding) {
    const struct {
        int32_t qty, price;
        bool weighed;
        int32_t sum;
    } cases[] = {
        {1500, 1999, true, 2999},  {250, 4000, true, 1000},   {0, 1999, true, 1999},
        {2, 1050, false, 2100},    {0, 500, false, 500},      {-2, 500, false, -1000},
        {99999, 99999999, false, INT32_MAX}, {-99999, 99999999, false, INT32_MIN},
        {999999, 999999999, true, INT32_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PrinterEngine::LineSum(c.qty, c.price, c.weighed), c.sum) << c.qty << " x " << c.price;

    EXPECT_DOUBLE_EQ(PrinterEngine::RoundToDecimals(29.985, 2), 29.99);
    EXPECT_DOUBLE_EQ(PrinterEngine::RoundToDecimals(-29.985, 2), -29.99);
    EXPECT_DOUBLE_EQ(PrinterEngine::RoundToDecimals(1e300, 2), 1e300);
    EXPECT_DOUBLE_EQ(PrinterEngine::RoundToDecimals(2.5, -3), 3.0);
    EXPECT_EQ(PrinterEngine::RoundToInteger(2998.9999), 2999);
    EXPECT_EQ(PrinterEngine::RoundToInteger(1e12), INT32_MAX);
    EXPECT_EQ(PrinterEngine::RoundToInteger(-1e12), INT32_MIN);
    EXPECT_EQ(PrinterEngine::RoundToInteger(std::nan("")), 0);
}

}  // namespace
}  // namespace brenvik::test
