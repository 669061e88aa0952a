// Reports: the Z-report closes the day into fiscal memory and counts; the
// periodical reports read that memory back; the shift and the clock.
#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

class Reports : public PrinterTest {
protected:
    // The whole printed line that starts with `start`.
    std::string LineOf(const std::string& start) {
        const size_t p = paper.find("\n" + start);
        if (p == std::string::npos) return "<no line " + start + ">";
        return paper.substr(p + 1, paper.find('\n', p + 1) - p - 1);
    }
    // A receipt line of 43 characters: label left, value right.
    static std::string TwoColumns(const std::string& left, const std::string& right) {
        const size_t chars = m301simLength(left) + m301simLength(right);
        return left + std::string(43 - chars, ' ') + right;
    }
    static size_t m301simLength(const std::string& s) {
        size_t n = 0;
        for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return n;
    }

    void SellAndClose(long long price) {
        OpenCheck();
        Sale s;
        s.sum = s.price = price;
        ASSERT_EQ(Status(Line(s)), "DONE");
        ASSERT_EQ(Status(Cmd(Comp(price, 0, 0, 0, 0, price))), "DONE");
    }
};

TEST_F(Reports, ZReportWritesTheDayZeroesItAndCounts) {
    SellAndClose(1200);
    ASSERT_EQ(Status(Cmd("CAIOI0000000300")), "DONE");
    ASSERT_EQ(Status(Cmd("ZREP1")), "DONE");
    EXPECT_EQ(State("z_number"), "0") << "an X-report changes nothing";
    EXPECT_EQ(State("day_sales"), "1200");

    ASSERT_EQ(Status(Cmd("NREP")), "DONE");
    EXPECT_EQ(State("z_number"), "1");
    EXPECT_EQ(State("fiscal_memory_records"), "1");
    EXPECT_EQ(State("shift_open"), "false");
    EXPECT_EQ(State("day_sales"), "0");
    EXPECT_EQ(State("day_sale_taxes"), "[0,0,0,0,0,0,0,0]");
    EXPECT_EQ(State("cash"), "1500") << "the cash stays in the drawer";
    const std::string cfis = Data(Cmd("CFIS"));
    EXPECT_EQ(cfis.substr(4), std::string(240, '0'));
    const std::string ccas = Data(Cmd("CCAS"));
    EXPECT_EQ(ccas.substr(4, 11), "00000001500") << "the new day starts with the drawer's cash";
    EXPECT_EQ(ccas.substr(15, 11), "00000000000");
    const std::string glcn = Data(Cmd("GLCN"));
    EXPECT_EQ(glcn.substr(36, 1), "1") << "fiscal report made";
    EXPECT_EQ(glcn.substr(37, 4), "0001");
    EXPECT_EQ(glcn.substr(4, 10), "0000000001") << "check numbers go on";

    SellAndClose(500);
    EXPECT_EQ(Data(Cmd("GLCN")).substr(36, 1), "0") << "a shift is open again";
    ASSERT_EQ(Status(Cmd("NREP")), "DONE");
    EXPECT_EQ(State("z_number"), "2");
    EXPECT_EQ(Data(Cmd("GLCN")).substr(4, 10), "0000000002");
    EXPECT_NE(paper.find("Z-ЗВІТ № 0002"), std::string::npos);
    EXPECT_EQ(Status(Cmd("NREP")), "DONE") << "a Z-report without turnover is allowed";
    EXPECT_EQ(State("z_number"), "3");
}

TEST_F(Reports, ZReportIsRefusedWhileACheckIsOpen) {
    OpenCheck();
    EXPECT_EQ(Status(Cmd("NREP")), "SOFTPROTOC");
    EXPECT_EQ(Status(Cmd("ZREP1")), "SOFTPROTOC");
    EXPECT_EQ(State("z_number"), "0");
}

TEST_F(Reports, ZeroZReportOpensAShiftOnlyWhenNoneIsOpen) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(Status(Cmd("nrep")), "DONE");
    EXPECT_EQ(State("shift_open"), "true");
    EXPECT_EQ(State("z_number"), "0");
    EXPECT_EQ(Status(Cmd("nrep")), "SOFTNREP");
    ASSERT_EQ(Status(Cmd("NREP")), "DONE");
    EXPECT_EQ(Status(Cmd("nrep")), "DONE");
}

TEST_F(Reports, PeriodicalReportsReadTheFiscalMemory) {
    for (long long price : {100, 200, 300}) {
        SellAndClose(price);
        ASSERT_EQ(Status(Cmd("NREP")), "DONE");
        now += 24 * 3600;
    }
    paper.clear();
    ASSERT_EQ(Status(Cmd("FIRN00020003")), "DONE");
    EXPECT_EQ(paper.find("Z № 0001"), std::string::npos);
    EXPECT_NE(paper.find("Z № 0002"), std::string::npos);
    EXPECT_NE(paper.find("Z № 0003"), std::string::npos);
    EXPECT_EQ(LineOf("Разом продаж"), TwoColumns("Разом продаж", "5.00"));

    paper.clear();
    ASSERT_EQ(Status(Cmd("FIRN")), "DONE");
    EXPECT_EQ(LineOf("Z-звітів"), TwoColumns("Z-звітів", "3"));

    struct Case {
        const char* command;
        const char* word;
    } refusals[] = {{"FIRN00030001", "SOFTPARAM"}, {"FIRN00000003", "SOFTPARAM"}, {"FIRN123", "SOFTPARAM"},
                    {"FIRP2025130120251231", "SOFTPARAM"}, {"FIRP2026010120250101", "SOFTPARAM"}};
    for (const Case& c : refusals) EXPECT_EQ(Status(Cmd(c.command)), c.word) << c.command;

    paper.clear();
    ASSERT_EQ(Status(Cmd("FIRP2000010120991231")), "DONE");
    EXPECT_EQ(LineOf("Z-звітів"), TwoColumns("Z-звітів", "3"));
    paper.clear();
    ASSERT_EQ(Status(Cmd("FIRP2000010120000102")), "DONE");
    EXPECT_NE(paper.find("Записів не знайдено"), std::string::npos);
}

TEST_F(Reports, AShiftOlderThanADayBlocksSalesUntilTheZReport) {
    SellAndClose(100);
    now += 24 * 3600 + 1;
    EXPECT_EQ(Status(Cmd("PREP1")), "SOFT24HOUR");
    EXPECT_EQ(Status(Cmd("CAIOI0000000100")), "SOFT24HOUR");
    ASSERT_EQ(Status(Cmd("NREP")), "DONE");
    EXPECT_EQ(Status(Cmd("PREP1")), "DONE");
}

TEST_F(Reports, ClockCanBeSetAndIsReadBack) {
    ASSERT_EQ(printer.Control("key 8"), "OK");
    ASSERT_EQ(Status(Cmd("CTIM235900")), "DONE");
    const std::string getd = Data(Cmd("GETD"));
    EXPECT_EQ(getd.substr(12, 6), "235900");
    EXPECT_EQ(Data(Cmd("CONf")).substr(68, 6), "235900");
    now += 61;
    EXPECT_EQ(Data(Cmd("GETD")).substr(12, 6), "000001") << "the clock runs on from the new time";
    EXPECT_EQ(Status(Cmd("CTIM240000")), "SOFTPARAM");
    EXPECT_EQ(Status(Cmd("CTIM12600")), "SOFTPARAM");
}

TEST_F(Reports, ServiceReportsAndDevicesAnswer) {
    SellAndClose(100);
    for (const char* c : {"ARTZ", "DIZV", "FEED3", "CUTR101", "KASS"}) EXPECT_EQ(Status(Cmd(c)), "DONE") << c;
    ASSERT_EQ(printer.Control("key 8"), "OK");
    for (const char* c : {"TMOD3", "PPOD", "PPOD2", "STFL", "NPDI1", "NCDC0", "TABL", "TABLB", "BOTm", "BOTm2",
                          "BOTm210Дякуємо!", "DEPTКаса 1", "SENCUAH"})
        EXPECT_EQ(Status(Cmd(c)), c == std::string("SENCUAH") ? "SOFTNREP" : "DONE") << c;
    for (const char* c : {"TMOD7", "NLPRAB", "TABLX"}) EXPECT_EQ(Status(Cmd(c)), "SOFTPARAM") << c;
    ASSERT_EQ(printer.Control("key 1"), "OK");
    EXPECT_EQ(Status(Cmd("DISp13      1250")), "DONE");
    EXPECT_EQ(State("display"), "\"12.50\"");
    EXPECT_EQ(Status(Cmd("DISp")), "DONE");
    EXPECT_EQ(State("display"), "\"\"");
    EXPECT_EQ(Status(Cmd("DIspHello")), "DONE");
    EXPECT_EQ(State("external_display"), "\"Hello\"");
    EXPECT_EQ(State("drawer_openings"), "1");
    for (const char* c : {"DISp12", "CUTR12", "FEEDx", "ZREP2", "NREPX", "DBEG2"})
        EXPECT_EQ(Status(Cmd(c)), "SOFTPARAM") << c;
}

}  // namespace
}  // namespace simtest
