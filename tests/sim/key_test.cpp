// The system key decides what the printer does: each kind of command against
// each of the five positions, as the printer's own refusal words name them.
#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

TEST(KeyPosition, EachKindOfCommandIsTakenOnlyInItsPositions) {
    const char* const keys[] = {"key 0", "key 1", "key 2", "key 4", "key 8"};
    struct Case {
        const char* what;
        const char* command;
        const char* word[5];  // off, work (R), X-report, Z-report, programming (P)
    } cases[] = {
        {"a query", "GETD", {"DONE", "DONE", "DONE", "DONE", "DONE"}},
        {"the paper feed", "FEED1", {"SOFTSYSLOC", "DONE", "DONE", "DONE", "DONE"}},
        {"a check", "PREP1", {"SOFTSYSLOC", "DONE", "SOFTSLWORK", "SOFTSLWORK", "SOFTSLWORK"}},
        {"the X-report", "ZREP1", {"SOFTSYSLOC", "DONE", "DONE", "SOFTSLZREP", "SOFTSLZREP"}},
        {"the article report", "ARTZ", {"SOFTSYSLOC", "DONE", "SOFTSLNREP", "DONE", "SOFTSLNREP"}},
        // Settings and the clock: the programming position alone, work too
        // is refused (error 31 in the engine).
        {"the clock", "CTIM120000", {"SOFTSYSLOC", "SOFTSLPROG", "SOFTSLPROG", "SOFTSLPROG", "DONE"}},
        {"the check's header", "HEADМагазин", {"SOFTSYSLOC", "SOFTSLPROG", "SOFTSLPROG", "SOFTSLPROG", "DONE"}},
        {"the article mode", "ARMO1", {"SOFTSYSLOC", "SOFTSLPROG", "SOFTSLPROG", "SOFTSLPROG", "DONE"}},
        {"the table mode", "TABLB", {"SOFTSYSLOC", "SOFTSLPROG", "SOFTSLPROG", "SOFTSLPROG", "DONE"}},
    };
    for (const Case& c : cases) {
        for (int k = 0; k < 5; ++k) {
            m301sim::Printer p;
            ASSERT_EQ(Status(p.Command(ToPrinterText("UPAS0000Іван"))), "DONE");
            ASSERT_EQ(p.Control(keys[k]), "OK");
            EXPECT_EQ(Status(p.Command(ToPrinterText(c.command))), c.word[k]) << c.what << ", " << keys[k];
        }
    }
}

class RefusedClock : public PrinterTest {};

TEST_F(RefusedClock, ARefusedClockSettingLeavesTheClockAlone) {
    const std::string before = Data(Cmd("GETD")).substr(12, 6);
    ASSERT_NE(before, "010203");
    EXPECT_EQ(Status(Cmd("CTIM010203")), "SOFTSLPROG") << "the work position does not set the clock";
    EXPECT_EQ(Data(Cmd("GETD")).substr(12, 6), before);
    ASSERT_EQ(printer.Control("key 8"), "OK");
    ASSERT_EQ(Status(Cmd("CTIM010203")), "DONE");
    EXPECT_EQ(Data(Cmd("GETD")).substr(12, 6), "010203");
}

}  // namespace
}  // namespace simtest
