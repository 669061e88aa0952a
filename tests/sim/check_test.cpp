// Checks: lines parsed back from the engine's layouts, taxes, closing with
// payments, the registers a check leaves, and the printer's refusals.
#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

m301sim::Config WithOnSaleTax() {
    m301sim::Config c;
    EXPECT_TRUE(m301sim::ParseTaxRate("2.00:1", c.taxes[3]));  // Г: 2 % on top of the price
    EXPECT_TRUE(m301sim::ParseTaxRate("5.00:2", c.taxes[4]));  // Д: 5 % sale-included
    return c;
}

class Check : public PrinterTest {
protected:
    Check() : PrinterTest(WithOnSaleTax()) {}
};

TEST_F(Check, SaleAndReturnCheckLeavesItsRegisters) {
    OpenCheck();
    Sale bread;
    bread.sum = 2100, bread.price = 1050, bread.qty = 2, bread.article = 5;
    Sale milk;
    milk.name = "Молоко", milk.sum = 350, milk.price = 350, milk.taxMask = 2, milk.isReturn = true;
    EXPECT_EQ(Data(Line(bread)), "FISC0000000000");
    EXPECT_EQ(Data(Line(milk)), "FISC0000000000");
    EXPECT_EQ(State("check_sales"), "2100");
    EXPECT_EQ(State("check_returns"), "350");

    const std::string comp = Cmd(Comp(2100, 350, 0, 0, 0, 2000));
    ASSERT_EQ(Status(comp), "DONE");
    const std::string data = Data(comp);
    ASSERT_EQ(data.size(), 94u);
    EXPECT_EQ(data.substr(4, 10), "0000000001") << "check number";
    EXPECT_EQ(data.substr(14, 10), "0000002100") << "total";
    EXPECT_EQ(data.substr(34, 10), "0000000350") << "included taxes: 20 % of 2100 inside the price";
    EXPECT_EQ(data.substr(54, 10), "0000000350") << "return";
    EXPECT_EQ(data.substr(74, 10), "0000000023") << "return included taxes: 7 % of 350";

    EXPECT_EQ(State("check_open"), "false");
    EXPECT_EQ(State("day_sales"), "2100");
    EXPECT_EQ(State("day_returns"), "350");
    EXPECT_EQ(State("day_sale_turnover"), "[2100,0,0,0,0,0,0,0,0]");
    EXPECT_EQ(State("day_return_turnover"), "[0,350,0,0,0,0,0,0,0]");
    EXPECT_EQ(State("cash"), "1750") << "2000 paid for 1750 due, 250 change";

    const std::string ccas = Data(Cmd("CCAS"));
    EXPECT_EQ(ccas.substr(4 + 11 * 3, 11), "00000001750") << "cash sales";
    EXPECT_EQ(ccas.substr(4 + 11 * 5, 11), "00000001750") << "total in the drawer";
    const std::string cfis = Data(Cmd("CFIS"));
    EXPECT_EQ(cfis.substr(4, 12), "000000002100");
    EXPECT_EQ(cfis.substr(16, 12), "000000002100") << "tax 1 turnover";
    EXPECT_EQ(cfis.substr(124, 12), "000000000350") << "returns";
    EXPECT_EQ(cfis.substr(148, 12), "000000000350") << "tax 2 returns";
    const std::string glcn = Data(Cmd("GLCN"));
    EXPECT_EQ(glcn.substr(4, 10), "0000000001");
    EXPECT_EQ(glcn.substr(34, 1), "1") << "article mode";
    const std::string artd = Data(Cmd("ARTD0005"));
    ASSERT_EQ(artd.size(), 61u) << "57 characters after the tag";
    EXPECT_EQ(m301sim::FromPrinterText(artd.substr(8, 24)), "ХлIб                    ") << "the engine sends і as a Latin I";
    EXPECT_EQ(artd.substr(41, 10), "0000000002") << "sold quantity";
    EXPECT_EQ(artd.substr(51, 10), "0000002100") << "sale sum";
}

TEST_F(Check, TaxesAreComputedFromTheProgrammedTable) {
    struct Case {
        const char* what;
        int taxMask;
        long long sum;
        const char* onsale;  // the FISC reply
        long long included, saleIncluded;
    } cases[] = {
        {"А 20 % included", 1, 1200, "0000000000", 200, 0},
        {"Б 7 % included, rounded half up", 2, 1000, "0000000000", 65, 0},
        {"В 0 %", 4, 1000, "0000000000", 0, 0},
        {"Г 2 % on-sale", 8, 1000, "0000000020", 0, 0},
        {"Г on-sale rounded half up", 8, 25, "0000000001", 0, 0},
        {"Д 5 % sale-included", 16, 1000, "0000000000", 0, 50},
        {"А and Г together", 1 | 8, 1200, "0000000024", 200, 0},
    };
    for (const Case& c : cases) {
        OpenCheck();
        Sale s;
        s.sum = s.price = c.sum;
        s.taxMask = c.taxMask;
        const std::string reply = Line(s);
        ASSERT_EQ(Status(reply), "DONE") << c.what;
        EXPECT_EQ(Data(reply), std::string("FISC") + c.onsale) << c.what;
        const long long onsale = std::stoll(c.onsale);
        const std::string comp = Data(Cmd(Comp(c.sum + onsale, 0, 0, 0, 0, c.sum + onsale)));
        ASSERT_EQ(comp.size(), 94u) << c.what;
        EXPECT_EQ(comp.substr(14, 10), Num(c.sum + onsale, 10)) << c.what;
        EXPECT_EQ(comp.substr(34, 10), Num(c.included, 10)) << c.what;
        EXPECT_EQ(comp.substr(44, 10), Num(c.saleIncluded, 10)) << c.what;
    }
}

TEST_F(Check, OnSaleTaxesAreDueAndCloseCheckStyleAmountsAreAccepted) {
    // The engine's CloseCheck sends the sales without on-sale taxes first and
    // the whole due amount in cash; CloseCheckEx sends them with the taxes.
    for (const bool withTaxes : {false, true}) {
        OpenCheck();
        Sale s;
        s.sum = s.price = 1000;
        s.taxMask = 8;
        ASSERT_EQ(Data(Line(s)), "FISC0000000020");
        EXPECT_EQ(Status(Cmd(Comp(withTaxes ? 1020 : 1000, 0, 0, 0, 0, 1000))), "SOFTCHECK")
            << "1000 does not cover 1020";
        EXPECT_EQ(Status(Cmd(Comp(withTaxes ? 1020 : 1000, 0, 0, 0, 0, 1020))), "DONE");
    }
}

TEST_F(Check, ClosingRefusalsLeaveTheCheckOpen) {
    OpenCheck();
    ASSERT_EQ(Status(Line(Sale{})), "DONE");  // 10.50 under tax А
    struct Case {
        const char* what;
        std::string comp;
        const char* word;
    } cases[] = {
        {"payment short of the total", Comp(1050, 0, 0, 0, 0, 1000), "SOFTCHECK"},
        {"first amount is not the check's", Comp(1000, 0, 0, 0, 0, 1050), "SOFTCHECK"},
        {"returns that the check has not", Comp(1050, 100, 0, 0, 0, 950), "SOFTCHECK"},
        {"card payment above the total", Comp(1050, 0, 0, 2000, 0, 0), "SOFTCHECK"},
        {"amounts not ten digits each", "COMP0000001050", "SOFTPARAM"},
        {"letters in an amount", Comp(1050, 0, 0, 0, 0, 1050).replace(60, 1, "x"), "SOFTPARAM"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Status(Cmd(c.comp)), c.word) << c.what;
        EXPECT_EQ(State("check_open"), "true") << c.what;
    }
    EXPECT_EQ(Status(Cmd(Comp(1050, 0, 0, 1000, 0, 50))), "DONE") << "card and cash together";
    EXPECT_EQ(State("cash"), "50");
    EXPECT_EQ(Status(Cmd(Comp(1050, 0, 0, 0, 0, 1050))), "SOFTPROTOC") << "no check open any more";
}

TEST_F(Check, ClosingAmountsAreTheRegistersToTheKopeck) {
    // Sales 10.00 with 0.20 on-sale tax, returns 5.00 with 0.10.
    Sale sale;
    sale.sum = sale.price = 1000;
    sale.taxMask = 8;
    Sale ret = sale;
    ret.sum = ret.price = 500;
    ret.isReturn = true;
    const WordCase cases[] = {
        {"sales with taxes, returns without", Comp(1020, 500, 0, 0, 0, 510), "SOFTCHECK"},
        {"sales without taxes, returns with", Comp(1000, 510, 0, 0, 0, 510), "SOFTCHECK"},
        {"one kopeck above the sales", Comp(1021, 510, 0, 0, 0, 520), "SOFTCHECK"},
        {"one kopeck below the returns", Comp(1020, 509, 0, 0, 0, 520), "SOFTCHECK"},
        {"nothing at all, as after lost totals", Comp(0, 0, 0, 0, 0, 0), "SOFTCHECK"},
        {"both with their taxes", Comp(1020, 510, 0, 0, 0, 510), "DONE"},
        {"both without", Comp(1000, 500, 0, 0, 0, 510), "DONE"},
    };
    for (const WordCase& c : cases) {
        OpenCheck();
        ASSERT_EQ(Status(Line(sale)), "DONE");
        ASSERT_EQ(Status(Line(ret)), "DONE");
        EXPECT_EQ(Status(Cmd(c.text)), c.word) << c.what;
        EXPECT_EQ(State("check_open"), std::string(c.word) == "DONE" ? "false" : "true") << c.what;
    }
}

TEST_F(Check, ReturnCheckPaysOutExactlyItsTotal) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(Status(Cmd("CAIOI0000005000")), "DONE");
    ASSERT_EQ(Status(Cmd("PREP1")), "DONE");
    ASSERT_EQ(Status(Cmd("BCHN17")), "DONE");
    Sale s;
    s.isReturn = true;
    ASSERT_EQ(Status(Line(s)), "DONE");
    EXPECT_EQ(Status(Cmd(Comp(0, 1050, 0, 0, 0, 2000))), "SOFTCHECK");
    EXPECT_EQ(Status(Cmd(Comp(0, 1050, 0, 0, 0, 1050))), "DONE");
    EXPECT_EQ(State("cash"), "3950");
    EXPECT_EQ(State("day_return_checks"), "1");
    EXPECT_NE(paper.find("Повернення по чеку № 17"), std::string::npos);
}

TEST_F(Check, LinesThatDoNotAddUpAreRefused) {
    OpenCheck();
    Sale wrongSum;
    wrongSum.sum = 1000;
    Sale unprogrammed;
    unprogrammed.taxMask = 1 << 5;  // Е is not programmed
    Sale bigDiscount;
    bigDiscount.discount = -2000;
    std::string wrongTail = ShortLine(printer.config(), Sale{});
    wrongTail.replace(42, 5, "02500");  // tax А claimed at 25 %
    std::string wrongLetter = ShortLine(printer.config(), Sale{});
    wrongLetter[41] = '\x81';  // Б in the slot of А
    struct Case {
        const char* what;
        std::string text;
        const char* word;
    } cases[] = {
        {"sum is not quantity times price", ShortLine(printer.config(), wrongSum), "SOFTCHECK"},
        {"tax not programmed", ShortLine(printer.config(), unprogrammed), "SOFTCHECK"},
        {"rate differs from the table", wrongTail, "SOFTCHECK"},
        {"letter in the wrong slot", wrongLetter, "SOFTPARAM"},
        {"discount above the line sum", ShortLine(printer.config(), bigDiscount), "SOFTBADDISC"},
        {"shorter than the layout", ShortLine(printer.config(), Sale{}).substr(0, 115), "SOFTPARAM"},
        {"long format in article mode 1", LongLine(Sale{}), "SOFTARTMODE"},
    };
    for (const Case& c : cases) EXPECT_EQ(Status(Raw(c.text)), c.word) << c.what;
    EXPECT_EQ(State("check_lines"), "0");
}

// Texts as the engine lays out a line, bent in the ways an encoder could
// get them wrong.
TEST_F(Check, LinesOutsideTheirLayoutAreRefused) {
    const std::string cont43(43, 'x');
    Sale longPiece;
    longPiece.name = "Хліб житній по-київськи " + cont43;  // longer than 12 + 43
    const std::string piece = ShortLine(printer.config(), longPiece);  // the encoder's cut: 43
    Sale weighed;
    weighed.name = "Сир твердий голландський";
    weighed.piece = false, weighed.qty = 1000, weighed.price = 1999, weighed.sum = 1999;
    const std::string w = ShortLine(printer.config(), weighed);  // 30 characters and a full stop
    Sale longName;
    longName.name = std::string(24, 'k') + std::string(104, 'n');
    Sale blank;
    blank.name = "";
    const std::string head = ToPrinterText("Хліб");
    std::string leftAligned = ShortLine(printer.config(), Sale{});
    leftAligned.replace(4, 12, head + std::string(12 - head.size(), ' '));
    const WordCase cases[] = {
        {"name left-aligned in its head", leftAligned, "SOFTPARAM"},
        {"piece continuation of 44", piece + "x", "SOFTPARAM"},
        {"weighed continuation without its full stop", w.substr(0, w.size() - 1) + " ", "SOFTPARAM"},
        {"weighed continuation one short", w.substr(0, w.size() - 2) + ".", "SOFTPARAM"},
        {"weighed continuation one long", w.substr(0, w.size() - 1) + " .", "SOFTPARAM"},
        {"piece continuation of 43", piece, "DONE"},
        {"weighed continuation of 30 and a full stop", w, "DONE"},
        {"blank name", ShortLine(printer.config(), blank), "DONE"},
    };
    ASSERT_EQ(printer.Control("key 8"), "OK");
    ASSERT_EQ(Status(Cmd("ARMO2")), "DONE");  // before the shift opens; the short format stays allowed
    ASSERT_EQ(printer.Control("key 1"), "OK");
    for (const WordCase& c : cases) {
        OpenCheck();
        EXPECT_EQ(Status(Raw(c.text)), c.word) << c.what;
        EXPECT_EQ(Status(Cmd("CANC")), "DONE");
    }
    OpenCheck();
    EXPECT_EQ(Status(Raw(LongLine(longName) + "n")), "SOFTPARAM") << "long continuation of 105";
    EXPECT_EQ(Status(Raw(LongLine(longName))), "DONE") << "long continuation of 104";
}

m301sim::Config Narrow() {
    m301sim::Config c;
    c.variant = "vTTs";
    EXPECT_TRUE(m301sim::ParseTaxRate("0.00:0", c.taxes[7]));  // З is programmed, but has no slot here
    return c;
}

class NarrowPrinter : public PrinterTest {
protected:
    NarrowPrinter() : PrinterTest(Narrow()) {}
};

TEST_F(NarrowPrinter, KeepsTheEighthTaxSlotEmptyAndItsShorterContinuations) {
    const m301sim::Config c = printer.config();
    Sale eighth;
    eighth.taxMask = 1 | 0x80;
    Sale weighed;
    weighed.name = "Сир твердий голландський";
    weighed.piece = false, weighed.qty = 1000, weighed.price = 1999, weighed.sum = 1999;
    std::string w = ShortLine(c, weighed);
    const std::string narrowWeighed = w.substr(0, 116) + w.substr(116, 23) + ".";
    Sale longPiece;
    longPiece.name = "Хліб житній " + std::string(43, 'x');
    const std::string piece = ShortLine(c, longPiece);
    const WordCase cases[] = {
        {"tax slot 8 filled", ShortLine(c, eighth), "SOFTPARAM"},
        {"weighed continuation of the normal width", w, "SOFTPARAM"},
        {"piece continuation of 37", piece.substr(0, 116 + 37), "SOFTPARAM"},
        {"weighed continuation of 23 and a full stop", narrowWeighed, "DONE"},
        {"piece continuation of 36", piece.substr(0, 116 + 36), "DONE"},
    };
    for (const WordCase& k : cases) {
        OpenCheck();
        EXPECT_EQ(Status(Raw(k.text)), k.word) << k.what;
        EXPECT_EQ(Status(Cmd("CANC")), "DONE");
    }
}

TEST_F(Check, WeighedGoodsAndLongNamesAreParsedBack) {
    OpenCheck();
    Sale cheese;
    cheese.name = "Сир твердий голландський";  // 24 characters: a continuation
    cheese.piece = false, cheese.qty = 1500, cheese.price = 1999, cheese.sum = 2999;
    ASSERT_EQ(Status(Line(cheese)), "DONE");
    Sale kilo;
    kilo.name = "Цукор";
    kilo.piece = false, kilo.qty = 0, kilo.price = 2500, kilo.sum = 2500;  // quantity 0 is one kilogram
    ASSERT_EQ(Status(Line(kilo)), "DONE");
    Sale discounted;
    discounted.discount = -150, discounted.discountName = "Знижка 5%";
    ASSERT_EQ(Status(Line(discounted)), "DONE");
    EXPECT_EQ(State("check_sales"), std::to_string(2999 + 2500 + 1050 - 150));
    ASSERT_EQ(Status(Cmd(Comp(2999 + 2500 + 900, 0, 0, 0, 0, 10000))), "DONE");
    EXPECT_NE(paper.find("Сир твердий голландський\n"), std::string::npos) << paper;
    EXPECT_NE(paper.find("  1.500 x 19.99"), std::string::npos);
    EXPECT_NE(paper.find("Знижка 5%"), std::string::npos);
}

TEST_F(Check, ArticlesKeepTheirNameAndTaxes) {
    OpenCheck();
    Sale a;
    a.article = 12345;
    ASSERT_EQ(Status(Line(a)), "DONE");
    Sale renamed = a;
    renamed.name = "Булка";
    EXPECT_EQ(Status(Line(renamed)), "SOFTDIFART");
    Sale retaxed = a;
    retaxed.taxMask = 2;
    EXPECT_EQ(Status(Line(retaxed)), "SOFTDIFART");
    EXPECT_EQ(Status(Line(a)), "DONE");
    ASSERT_EQ(Status(Cmd(Comp(2100, 0, 0, 0, 0, 2100))), "DONE");
    const std::string artd = Data(Cmd("ARTDC345"));
    EXPECT_EQ(artd.substr(4, 4), "C345");
    EXPECT_EQ(artd.substr(41, 10), "0000000002");
    EXPECT_EQ(Status(Cmd("ARTD0007")), "SOFTBADART");
    EXPECT_EQ(Status(Cmd("ARTD000000007")), "SOFTARTMODE") << "long numbers need article mode 2";
}

TEST_F(Check, LongArticleModeTakesTheLongFormat) {
    ASSERT_EQ(printer.Control("key 8"), "OK");
    ASSERT_EQ(Status(Cmd("ARMO2")), "DONE");
    ASSERT_EQ(printer.Control("key 1"), "OK");
    OpenCheck();
    Sale s;
    s.name = "Кава мелена арабська 250 г упаковка";  // longer than 24: continuation
    s.article = 123456789;
    s.taxMask = 1 | 2 | 4;                           // only the two lowest go in the long format
    ASSERT_EQ(Status(Raw(LongLine(s))), "DONE");
    Sale ret = s;
    ret.isReturn = true;
    ASSERT_EQ(Data(Raw(LongLine(ret))), "FISC0000000000");
    ASSERT_EQ(Status(Cmd(Comp(1050, 1050, 0, 0, 0, 0))), "DONE");
    const std::string artd = Data(Cmd("ARTD123456789"));
    ASSERT_EQ(artd.size(), 70u) << "66 characters after the tag";
    EXPECT_EQ(artd.substr(61, 9), "123456789");
    EXPECT_EQ(artd.substr(33, 8), "11000000") << "taxes А and Б";
    EXPECT_NE(paper.find("Кава мелена арабська 250 г упаковка"), std::string::npos) << paper;
}

TEST_F(Check, StornoTakesBackTheLastLineOnce) {
    OpenCheck();
    Sale a, b;
    b.name = "Ряжанка", b.sum = b.price = 500, b.taxMask = 8;  // on-sale tax 10
    ASSERT_EQ(Status(Line(a)), "DONE");
    ASSERT_EQ(Data(Line(b)), "FISC0000000010");
    ASSERT_EQ(Status(Cmd("STRN")), "DONE");
    EXPECT_EQ(State("check_sales"), "1050");
    EXPECT_EQ(State("check_onsale_taxes"), "0");
    EXPECT_EQ(Status(Cmd("STRN")), "SOFTPROTOC") << "only the line just registered";
    EXPECT_EQ(Status(Cmd(Comp(1550, 0, 0, 0, 0, 1560))), "SOFTCHECK");
    EXPECT_EQ(Status(Cmd(Comp(1050, 0, 0, 0, 0, 1050))), "DONE");
    EXPECT_NE(paper.find("СТОРНО Ряжанка"), std::string::npos);
}

TEST_F(Check, PrinterRefusesWorkItsStateDoesNotAllow) {
    struct Case {
        const char* what;
        const char* control;  // set up through the control commands
        bool cashier;
        const char* command;
        const char* word;
    } cases[] = {
        {"no cashier", nullptr, false, "PREP1", "SOFTUPAS"},
        {"no cashier for cash", nullptr, false, "CAIOI0000000100", "SOFTUPAS"},
        {"key in X position", "key 2", true, "PREP1", "SOFTSLWORK"},
        {"key off", "key 0", true, "PREP1", "SOFTSYSLOC"},
        {"key off refuses the cashier too", "key 0", false, "UPAS1Петро", "SOFTSYSLOC"},
        {"Z-report in X position", "key 2", true, "NREP", "SOFTSLNREP"},
        {"X-report in programming position", "key 8", true, "ZREP1", "SOFTSLZREP"},
        {"programming in Z position", "key 4", true, "HEADМагазин", "SOFTSLPROG"},
        {"line without a check", nullptr, true, nullptr, "SOFTPROTOC"},
        {"paper out", "paper out", true, "PREP1", "SOFTPAPER"},
        {"cash out of an empty drawer", nullptr, true, "CAIOO0000000100", "SOFTNEED"},
        {"zero Z twice", nullptr, true, "nrep", nullptr},
    };
    for (const Case& c : cases) {
        m301sim::Printer p;
        if (c.cashier) {
            ASSERT_EQ(Status(p.Command(ToPrinterText("UPAS0000Іван"))), "DONE");
        }
        if (c.control) {
            ASSERT_EQ(p.Control(c.control), "OK");
        }
        const std::string text = c.command ? ToPrinterText(c.command) : ShortLine(p.config(), Sale{});
        if (!c.word) {  // the zero Z opens the shift; a second one is refused
            ASSERT_EQ(Status(p.Command(text)), "DONE");
            EXPECT_EQ(Status(p.Command(text)), "SOFTNREP") << c.what;
            continue;
        }
        EXPECT_EQ(Status(p.Command(text)), c.word) << c.what;
    }
    // Queries answer in every key position.
    m301sim::Printer p;
    ASSERT_EQ(p.Control("key 0"), "OK");
    for (const char* q : {"CONf", "GLCN", "CNAL", "CCAS", "CFIS", "GETD"}) EXPECT_EQ(Status(p.Command(q)), "DONE") << q;
}

TEST_F(Check, NotYetFiscalizedPrinterAnswersSoftregistBesideItsData) {
    m301sim::Config c;
    c.fiscalized = false;
    m301sim::Printer p(c);
    EXPECT_EQ(Status(p.Command(ToPrinterText("UPAS0000Іван"))), "SOFTREGIST");
    EXPECT_EQ(Status(p.Command("PREP1")), "SOFTREGIST");
    const std::string line = p.Command(ShortLine(c, Sale{}));
    EXPECT_EQ(Status(line), "SOFTREGIST");
    EXPECT_EQ(Data(line), "FISC0000000000");
    EXPECT_EQ(Data(p.Command(Comp(1050, 0, 0, 0, 0, 1050))).substr(0, 4), "COMP");
    EXPECT_EQ(Status(p.Command("CONf")), "DONE") << "queries are not fiscal work";
}

TEST_F(Check, CashMovesInAndOut) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(Status(Cmd("CAIOI0000001500")), "DONE");
    EXPECT_EQ(Status(Cmd("CAIOO0000001501")), "SOFTNEED");
    ASSERT_EQ(Status(Cmd("CAIOO0000000500")), "DONE");
    EXPECT_EQ(Status(Cmd("CAIOX0000000500")), "SOFTPARAM");
    EXPECT_EQ(State("cash"), "1000");
    const std::string ccas = Data(Cmd("CCAS"));
    EXPECT_EQ(ccas.substr(15, 11), "00000001500") << "income";
    EXPECT_EQ(ccas.substr(26, 11), "00000000500") << "outcome";
    EXPECT_EQ(State("last_serv_doc_number"), "2");
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

TEST(TaxOption, ParsesRatesAndKindsAndRefusesNonsense) {
    struct Case {
        const char* text;
        bool ok;
        bool programmed;
        int rate;
        char kind;
    } cases[] = {
        {"20.00", true, true, 2000, '0'},   {"7", true, true, 700, '0'},      {"7.5", true, true, 750, '0'},
        {"2.00:1", true, true, 200, '1'},   {"5:on-sale", true, true, 500, '1'}, {"5:2", true, true, 500, '2'},
        {"0.00", true, true, 0, '0'},       {"off", true, false, 0, '0'},     {"100.00", false, false, 0, '0'},
        {"2.00:3", false, false, 0, '0'},   {"abc", false, false, 0, '0'},    {"2.005", false, false, 0, '0'},
        {"", false, false, 0, '0'},         {"-1", false, false, 0, '0'},
    };
    for (const Case& c : cases) {
        m301sim::TaxRate t;
        t.rate = -1;
        EXPECT_EQ(m301sim::ParseTaxRate(c.text, t), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(t.rate, -1) << c.text << ": left as it was";
            continue;
        }
        EXPECT_EQ(t.programmed, c.programmed) << c.text;
        EXPECT_EQ(t.rate, c.rate) << c.text;
        EXPECT_EQ(t.kind, c.kind) << c.text;
    }
}

}  // namespace
}  // namespace simtest
