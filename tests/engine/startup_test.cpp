// Init's start-up sequence: handshake, configuration, document numbers,
// firmware test, tax rates, cashier.
#include <gtest/gtest.h>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

TEST(StartUp, T3PlusFirmwareWithArticleMode2) {
    Harness h;
    h.printer.replies["GLCN"] = DoneReply("GLCN" + Printer::GlcnData('2'));
    EXPECT_EQ(1, h.engine->Init(3, "Ivanov", "1234", 0, "App"));
    EXPECT_EQ((std::vector<std::string>{"CONf", "GLCN", "GLCN", "CNAL", "UPAS1234Ivanov"}), h.line.Commands());
    EXPECT_EQ(1, h.engine->T3PlusFirmware);
    EXPECT_EQ(1, h.engine->LongArticles);
    EXPECT_EQ(999999, h.engine->MaxQuantity);
    EXPECT_TRUE(h.log.Has("Версия фискального регистратора Т3+"));
    EXPECT_TRUE(h.log.Has("vMTM"));
    // The password goes to the printer, never to the log.
    EXPECT_TRUE(h.log.Has("F:UPAS(****, Ivanov) Регистрация кассира"));
    EXPECT_TRUE(h.log.Has("Посылка В регистратор: \xFDUPAS****Ivanov\x0F\xFE"));
    EXPECT_EQ(std::string::npos, h.log.content.find("UPAS1234"));
    EXPECT_EQ("\\\\.\\COM3", h.line.opened.back());
}

TEST(StartUp, ArticleMode1KeepsPreviousLimits) {
    Harness h;
    h.engine->LongArticles = 1;
    h.engine->MaxQuantity = 12345;
    EXPECT_EQ(1, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(1, h.engine->T3PlusFirmware);
    EXPECT_EQ(1, h.engine->LongArticles);
    EXPECT_EQ(12345, h.engine->MaxQuantity);
}

TEST(StartUp, OtherFirmwareEvenOneDigitOff) {
    Harness h;
    h.engine->LongArticles = 1;
    h.engine->MaxQuantity = 999999;
    h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20050209"));
    EXPECT_EQ(1, h.engine->Init(3, "Ivanov", "", 0, ""));
    EXPECT_EQ((std::vector<std::string>{"CONf", "GLCN", "CNAL", "UPAS Ivanov"}).size(), h.line.Commands().size());
    EXPECT_EQ("UPASIvanov", h.line.Commands().back());
    EXPECT_EQ(0, h.engine->T3PlusFirmware);
    EXPECT_EQ(1, h.engine->LongArticles);
    EXPECT_EQ(99999, h.engine->MaxQuantity);
    EXPECT_TRUE(h.log.Has("Версия фискального регистратора НЕ Т3+ (от 20050208)"));
}

TEST(StartUp, EmptyCashierNameTravelsAsABlankAndCyrillicIsConverted) {
    Harness h;
    EXPECT_EQ(1, h.engine->Init(3, "", "77", 0, ""));
    EXPECT_EQ("UPAS77 ", h.line.Commands().back());
    Harness g;
    EXPECT_EQ(1, g.engine->Init(3, "Петро", "1", 0, ""));
    EXPECT_EQ("UPAS1\x8F\xA5\xE2\xE0\xAE", g.line.Commands().back());
}

TEST(StartUp, RejectedStartUpReadsDoNotFailInitButRefusedCashierDoes) {
    Harness h;
    h.printer.replies["CNAL"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(1, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    // Without its configuration the engine cannot serve the printer.
    Harness f;
    f.printer.replies["CONf"] = ErrorReply("SOFTPROTOC");
    EXPECT_EQ(0, f.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(92u, f.engine->ErrorNumber);

    Harness g;
    g.printer.replies["UPAS"] = ErrorReply("SOFTUPAS");
    EXPECT_EQ(0, g.engine->Init(3, "Ivanov", "bad", 0, ""));
    EXPECT_EQ(28u, g.engine->ErrorNumber);
    EXPECT_EQ(1, g.engine->Connected);
}

TEST(StartUp, ConfigurationThatStaysMalformedFailsInitWithItsOwnError) {
    // Cut short before the firmware date, or no configuration block at all.
    for (std::string reply : {DoneReply(Printer::ConfData().substr(0, 60)), DoneReply()}) {
        Harness h;
        h.printer.replies["CONf"] = reply;
        EXPECT_EQ(0, h.engine->Init(3, "Ivanov", "1234", 0, ""));
        EXPECT_EQ(3u, h.line.Commands().size() - 3);  // three CONf, then GLCN, CNAL, UPAS
        EXPECT_EQ(92u, h.engine->ErrorNumber);
        EXPECT_STREQ("BADCONFIG", h.engine->ErrorCode);
        EXPECT_TRUE(h.log.Has(std::string("Ошибка 92: ") + PrinterEngine::ErrorMessage(92)));
        EXPECT_EQ(1, h.engine->Connected);  // commands still work
        EXPECT_STREQ("", h.engine->FirmwareDate);
        // The configuration documents fail until a good reply comes.
        EXPECT_STREQ("", h.engine->GetPrinterConfigXML(0));
        EXPECT_EQ(92u, h.engine->ErrorNumber);
        EXPECT_STREQ("", h.engine->GetPrinterConfig());
        EXPECT_EQ(-1, h.engine->GetPrinterKeyPosition());
        h.printer.replies["CONf"] = DoneReply(Printer::ConfData());
        EXPECT_STRNE("", h.engine->GetPrinterConfigXML(1));
        EXPECT_STREQ("0000123456", h.engine->SerialNumber);
    }
}

TEST(StartUp, ConfigurationNeverAnsweredFailsInit) {
    for (std::string reply : {std::string(), Block(Printer::ConfData().substr(0, 9))}) {
        Harness h;
        h.printer.replies["CONf"] = reply;
        EXPECT_EQ(0, h.engine->Init(3, "Ivanov", "1234", 0, ""));
        EXPECT_EQ(92u, h.engine->ErrorNumber);
        EXPECT_STREQ("", h.engine->SerialNumber);
    }
}

TEST(StartUp, InitByDevicePathRunsTheSameSequence) {
    Harness h;
    EXPECT_EQ(1, h.engine->InitDevice("/dev/ttyUSB0", "Ivanov", "1234"));
    EXPECT_EQ("/dev/ttyUSB0", h.line.opened.back());
    EXPECT_TRUE(h.log.Has("F:OpenPort(/dev/ttyUSB0, 115200) Открытие СОМ порта"));
    EXPECT_EQ("UPAS1234Ivanov", h.line.Commands().back());
    Harness g;
    g.line.failOpen = true;
    EXPECT_EQ(0, g.engine->InitDevice("/dev/missing", "Ivanov", "1234"));
    EXPECT_EQ(uint32_t(kErrOpenPort), g.engine->ErrorNumber);
}

TEST(StartUp, InitTwiceStartsOver) {
    Harness h;
    ASSERT_EQ(1, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    h.Forget();
    ASSERT_EQ(1, h.engine->Init(4, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(1, h.line.closes);
    EXPECT_EQ("\\\\.\\COM4", h.line.opened.back());
    EXPECT_EQ((std::vector<std::string>{"CONf", "GLCN", "GLCN", "CNAL", "UPAS1234Ivanov"}), h.line.Commands());
    EXPECT_EQ(10, std::count(h.line.writes.begin(), h.line.writes.end(), "U") * 2);
}

TEST(StartUp, SecondHandshakeRescuesAPrinterThatSleptThroughTheFirst) {
    Harness h;
    int wakeUps = 0;
    h.printer.handshakeSilent = true;
    auto printerScript = h.line.script;
    h.line.script = [&](ScriptedLine& l, const std::string& bytes) {
        if (bytes == "U" && ++wakeUps == 10) l.Arrive(ReadyBlock());
        printerScript(l, bytes);
    };
    EXPECT_EQ(1, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(2u, h.line.dtr.size());  // one pulse after the first, silent run
}

// A budget for connecting: a silent printer is given up within it, and a
// printer that answers the first try is not hurried at all.
TEST(StartUp, AConnectBudgetBoundsTheWakeUpOfASilentPrinter) {
    struct Case {
        uint32_t budget;
        uint64_t atMost;  // virtual ms until Init gives up
        size_t pulses;
    } cases[] = {{0, 9000, 2}, {2000, 2100, 0}, {5000, 5100, 1}};
    for (const Case& c : cases) {
        Harness h;
        h.printer.handshakeSilent = true;
        h.engine->ConnectBudgetMs = c.budget;
        EXPECT_EQ(0, h.engine->Init(3, "Ivanov", "1234", 0, "")) << c.budget;
        EXPECT_EQ(h.engine->ErrorNumber, static_cast<uint32_t>(kErrNoConnection)) << c.budget;
        EXPECT_LE(h.line.now, c.atMost) << c.budget;
        EXPECT_GT(h.line.now, c.atMost - 1200) << c.budget;
        EXPECT_EQ(h.line.dtr.size(), c.pulses * 2) << c.budget;
    }
    Harness quick;
    quick.engine->ConnectBudgetMs = 300;
    EXPECT_EQ(1, quick.engine->Init(3, "Ivanov", "1234", 0, ""));
}

}  // namespace
}  // namespace brenvik::test
