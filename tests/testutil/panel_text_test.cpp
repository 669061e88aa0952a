// What a person types into BrenvikTest and what it shows of the printer's
// replies: amounts, port names, clock, key position and tax records, in the
// window's three languages.
#include <gtest/gtest.h>

#include "testutil/panel_text.h"

namespace {

using namespace brenvik::testutil;

TEST(PanelText, AmountsAsPeopleTypeThem)
{
    const struct {
        const char* text;
        bool ok;
        int32_t kopecks;
    } cases[] = {
        {"100", true, 10000},        {"12,50", true, 1250},   {"12.5", true, 1250},
        {" 7 ", true, 700},          {"0,05", true, 5},       {"21474836.47", true, 2147483647},
        {"21474836.48", false, 0},   {"99999999999", false, 0}, {"12,345", false, 0},
        {"12.", false, 0},           {",50", false, 0},       {"1.2.3", false, 0},
        {"-5", false, 0},            {"+5", false, 0},        {"", false, 0},
        {"  ", false, 0},            {"5 грн", false, 0},     {"1 000", false, 0},
    };
    for (const auto& c : cases) {
        int32_t kopecks = -1;
        EXPECT_EQ(ParseAmount(c.text, kopecks), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(kopecks, c.kopecks) << c.text;
        }
    }
}

TEST(PanelText, AmountsShownInHryvnias)
{
    EXPECT_EQ(FormatAmount(1250), "12.50");
    EXPECT_EQ(FormatAmount(5), "0.05");
    EXPECT_EQ(FormatAmount(0), "0.00");
    EXPECT_EQ(FormatAmount(-5), "-0.05");
    EXPECT_EQ(FormatAmount(INT64_MIN), "-92233720368547758.08");
}

TEST(PanelText, PortNames)
{
    const struct {
        const char* text;
        int port;
    } cases[] = {
        {"COM3", 3}, {"com12", 12}, {"\\\\.\\COM7", 7}, {"5", 5}, {" COM4 ", 4}, {"COM256", 256},
        {"COM", 0},  {"COM0", 0},   {"COM3x", 0},      {"LPT1", 0}, {"", 0},     {"COM1234", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseComPort(c.text), c.port) << c.text;
}

TEST(PanelText, PrinterClock)
{
    EXPECT_EQ(PrinterClockText("20100614", "153000"), "14.06.2010 15:30:00");
    EXPECT_EQ(PrinterClockText("", ""), "");             // before the first reply
    EXPECT_EQ(PrinterClockText("2010061", "153000"), "");
    EXPECT_EQ(PrinterClockText("20100614", "15300a"), "");
    EXPECT_EQ(PrinterClockText(nullptr, "153000"), "");
}

TEST(PanelText, KeyPositionsInEachLanguage)
{
    const struct {
        const char* letter;
        Language language;
        const char* shown;
    } cases[] = {
        {"R", Language::Ukrainian, "R (робота)"},   {"X", Language::Ukrainian, "X (X-звіт)"},
        {"Z", Language::Ukrainian, "Z (Z-звіт)"},   {"P", Language::Ukrainian, "P (програмування)"},
        {"O", Language::Ukrainian, "O (вимкнено)"}, {"P", Language::English, "P (programming)"},
        {"R", Language::English, "R (work)"},       {"P", Language::Russian, "P (программирование)"},
        {"X", Language::Russian, "X (X-отчёт)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KeyPositionText(c.letter, c.language), c.shown) << c.letter;
    for (const char* other : {"", "1", "r", "RX"})
        EXPECT_EQ(KeyPositionText(other, Language::Ukrainian), "") << other;
    EXPECT_EQ(KeyPositionText(nullptr, Language::English), "");
}

TEST(PanelText, TaxRecords)
{
    const auto uk = Language::Ukrainian;
    EXPECT_EQ(TaxRecordText(0, "20240101002000", uk), "0: 20.00 % у ціні, з 01.01.2024");
    EXPECT_EQ(TaxRecordText(3, "20100614010700", uk), "3: 7.00 % понад ціну, з 14.06.2010");
    EXPECT_EQ(TaxRecordText(7, "20100614020050", uk), "7: 0.50 % від суми продажу, з 14.06.2010");
    EXPECT_EQ(TaxRecordText(1, "20100614091000", uk), "1: 10.00 % вид 9, з 14.06.2010");
    EXPECT_EQ(TaxRecordText(0, "20240101002000", Language::English), "0: 20.00 % in the price, from 01.01.2024");
    EXPECT_EQ(TaxRecordText(3, "20100614010700", Language::Russian), "3: 7.00 % сверх цены, с 14.06.2010");
    EXPECT_EQ(TaxRecordText(2, "00000000000000", uk), "");  // unprogrammed slot
    EXPECT_EQ(TaxRecordText(2, "2010061401070", uk), "");   // cut short
    EXPECT_EQ(TaxRecordText(2, "2010061401x700", uk), "");
    EXPECT_EQ(TaxRecordText(2, nullptr, uk), "");
}

// A text missing in one language would show an empty button or label.
TEST(WindowText, EveryTextInEveryLanguage)
{
    for (int i = 0; i < static_cast<int>(Text::Count_); ++i) {
        const auto id = static_cast<Text>(i);
        const std::string en = TextOf(id, Language::English);
        EXPECT_FALSE(en.empty()) << i;
        EXPECT_FALSE(std::string(TextOf(id, Language::Russian)).empty()) << i;
        EXPECT_NE(TextOf(id, Language::Ukrainian), en) << i << ": not translated";
    }
}

}  // namespace
