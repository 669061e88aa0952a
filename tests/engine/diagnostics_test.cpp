// Error reporting and the debug log.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/diagnostics/error_table.h"
#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

TEST(Messages, TableLookupsAndUnknownNumbers) {
    EXPECT_STREQ("Невозможно открыть СОМ порт", PrinterEngine::ErrorMessage(1));
    EXPECT_STREQ("\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xEE\xF2\xEA\xF0\xFB\xF2\xFC \xD1\xCE\xCC \xEF\xEE\xF0\xF2",
                 PrinterEngine::ErrorMessage(1));  // Cyrillic СОМ, as bytes
    EXPECT_STREQ("Ошибка настройки буферов COM порта", PrinterEngine::ErrorMessage(2));
    EXPECT_NE(nullptr, std::strstr(PrinterEngine::ErrorMessage(2), " COM "));  // Latin COM
    for (uint32_t n : {0u, 8u, 9u, 49u, 97u, 200u})
        EXPECT_STREQ("Неизвестная ошибка", PrinterEngine::ErrorMessage(n)) << n;
    // Numbers are unique.
    for (size_t i = 0; i < kErrorTableSize; ++i)
        for (size_t j = i + 1; j < kErrorTableSize; ++j)
            EXPECT_NE(kErrorTable[i].number, kErrorTable[j].number);
}

TEST(Messages, BoxShownOnlyWhenSwitchedOnAndNotFor35) {
    Harness h;
    h.engine->SetShowErrorMessages(1);
    h.engine->SetError(27);
    ASSERT_EQ(1u, h.dialog.shown.size());
    EXPECT_EQ(std::string(PrinterEngine::ErrorMessage(27)) + "\nКод ошибки: 27", h.dialog.shown[0].text);
    EXPECT_EQ("Korvell Quillon для Мария 301МТМ", h.dialog.shown[0].caption);
    EXPECT_EQ(0x40u, h.dialog.shown[0].style);
    EXPECT_TRUE(h.log.Has(std::string("Ошибка 27: ") + PrinterEngine::ErrorMessage(27)));

    h.engine->SetError(35);
    EXPECT_EQ(1u, h.dialog.shown.size());
    EXPECT_EQ(35u, h.engine->ErrorNumber);
    EXPECT_TRUE(h.log.Has("Ошибка 35: Фискальный регистратор не фискализирован"));

    h.engine->SetShowErrorMessages(0);
    EXPECT_EQ(200u, h.engine->SetError(200));
    EXPECT_EQ(1u, h.dialog.shown.size());
    EXPECT_STREQ("Неизвестная ошибка", h.engine->LastErrorText);

    h.engine->SetShowErrorMessages(5);
    EXPECT_EQ(1, h.engine->GetShowErrorMessages());
}

TEST(Messages, LongestMessageFitsTheBox) {
    Harness h;
    h.engine->SetShowErrorMessages(1);
    for (size_t i = 0; i < kErrorTableSize; ++i) {
        h.engine->SetError(kErrorTable[i].number);
        if (kErrorTable[i].number == 35) continue;
        std::string expected = std::string(kErrorTable[i].message) + "\nКод ошибки: " +
                               std::to_string(kErrorTable[i].number);
        EXPECT_EQ(expected, h.dialog.shown.back().text);
    }
}

TEST(Messages, GettersAreReadOnce) {
    Harness h;
    h.engine->SetError(28);
    std::strcpy(h.engine->ErrorCode, "SOFTUPAS");
    EXPECT_STREQ(PrinterEngine::ErrorMessage(28), h.engine->GetLastErrorMessage());
    EXPECT_STREQ("", h.engine->GetLastErrorMessage());
    EXPECT_STREQ("SOFTUPAS", h.engine->GetLastErrorCode());
    EXPECT_STREQ("", h.engine->GetLastErrorCode());
    EXPECT_EQ(28u, h.engine->ErrorNumber);
    auto m = h.log.Messages();
    EXPECT_EQ(1, std::count(m.begin(), m.end(), std::string("F:LastErrorMessage=") + PrinterEngine::ErrorMessage(28)));
    EXPECT_EQ(1, std::count(m.begin(), m.end(), "F:LastErrorMessage="));
    EXPECT_EQ(1, std::count(m.begin(), m.end(), "F:LastErrorCode=SOFTUPAS"));
}

TEST(DebugLog, BannerStampAndLineFeed) {
    Harness h;
    EXPECT_EQ("/logs/Pelmora.log", h.log.openedPaths.at(0));
    const std::string banner =
        "05.03.2010/14:03:09 Log файл открыт -------------------------------------------\n"
        "05.03.2010/14:03:09 Корвелл Квиллон Плюс\n"
        "05.03.2010/14:03:09 Версия ядра 7.0 от 14.06.2010\n";
    EXPECT_EQ(banner, h.log.content);

    h.log.content.clear();
    h.engine->WriteLog("a\nb %i", 7);
    EXPECT_EQ("05.03.2010/14:03:09 a\nb 7\n", h.log.content);
}

TEST(DebugLog, LongMessagesAreCutAndStillEndTheLine) {
    Harness h;
    for (size_t length : {1002u, 1003u, 5000u}) {
        h.log.content.clear();
        std::string big(length, 'x');
        h.engine->WriteLog("%s", big.c_str());
        ASSERT_EQ('\n', h.log.content.back());
        EXPECT_EQ(1u, std::count(h.log.content.begin(), h.log.content.end(), '\n'));
        EXPECT_LE(h.log.content.size(), 1023u);
        EXPECT_EQ(20u + std::min<size_t>(length, 1002) + 1, h.log.content.size());
    }
}

TEST(DebugLog, ArchivedOnlyAbove5000000Bytes) {
    for (uint32_t size : {5000000u, 5000001u}) {
        MemoryLog log;
        log.initialSize = size;
        ScriptedLine line;
        FixedClock clock;
        clock.time = {2010, 2, 1, 9, 5, 7};
        RecordingDialog dialog;
        EnginePlatform p{&line, &log, &clock, &dialog, "/srv/brenvik", '/'};
        PrinterEngine engine(p);
        if (size == 5000000u) {
            EXPECT_TRUE(log.renames.empty());
        } else {
            ASSERT_EQ(1u, log.renames.size());
            EXPECT_EQ("/srv/brenvik/Pelmora.log", log.renames[0].first);
            EXPECT_EQ("/srv/brenvik/01022010090507.log", log.renames[0].second);
            EXPECT_EQ("01.02.2010/09:05:07 Архивирование файла отладки ( Размер > 5000000 )\n", log.archived);
            EXPECT_EQ(0u, log.content.find("01.02.2010/09:05:07 Log файл открыт"));
            EXPECT_EQ(2u, log.openedPaths.size());
        }
    }
}

TEST(DebugLog, ArchivedDuringASessionAtTheNextExchange) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    h.log.initialSize = 4999000;
    h.engine->OpenLog();  // as a long-running service finds it
    h.engine->SendCommand("KASS");
    EXPECT_TRUE(h.log.renames.empty());
    std::string line(900, 'x');
    h.engine->WriteLog("%s", line.c_str());  // now past 5000000
    EXPECT_TRUE(h.log.renames.empty());      // not in the middle of anything
    h.engine->SendCommand("KASS");
    ASSERT_EQ(1u, h.log.renames.size());
    EXPECT_EQ("/logs/05032010140309.log", h.log.renames[0].second);
    EXPECT_NE(std::string::npos, h.log.archived.rfind("Архивирование файла отладки ( Размер > 5000000 )\n"));
    EXPECT_EQ(0u, h.log.content.find("05.03.2010/14:03:09 Посылка В регистратор: \xFDKASS"));
    // The fresh log is counted from nothing: no second archive.
    h.engine->SendCommand("KASS");
    EXPECT_EQ(1u, h.log.renames.size());
}

TEST(DebugLog, ArchivesOfOneSecondDoNotCollideAndOnlyTheNewestAreKept) {
    const struct {
        uint32_t kept;
        std::vector<std::string> left;
    } cases[] = {
        {0, {"01022010090507.log", "05032010140309.log", "05032010140309_2.log", "31122009235959.log",
             "notes.log"}},
        {2, {"05032010140309.log", "05032010140309_2.log", "notes.log"}},
        {3, {"01022010090507.log", "05032010140309.log", "05032010140309_2.log", "notes.log"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kept);
        Harness h;
        for (const char* older : {"31122009235959.log", "01022010090507.log", "05032010140309.log", "notes.log"})
            h.log.files[std::string("/logs/") + older] = "old";
        h.engine->LogArchivesKept = c.kept;
        h.log.initialSize = 5000001;
        h.engine->OpenLog();
        ASSERT_EQ(1u, h.log.renames.size());
        EXPECT_EQ("/logs/05032010140309_2.log", h.log.renames[0].second);
        EXPECT_EQ("old", h.log.files["/logs/05032010140309.log"]);  // the first archive survives
        std::vector<std::string> left;
        h.log.List("/logs", left);
        EXPECT_EQ(c.left, left);
    }
}

TEST(DebugLog, UnopenableLogChangesNoResult) {
    Harness h;
    MemoryLog broken;
    broken.failOpen = true;
    EnginePlatform p{&h.line, &broken, &h.clock, &h.dialog, "/nowhere", '/'};
    PrinterEngine engine(p);
    engine.SetShowErrorMessages(0);
    EXPECT_EQ(1, engine.Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(1, engine.Done());
    EXPECT_TRUE(broken.content.empty());
}

TEST(DebugLog, PrinterTextsAreNeverFormats) {
    Harness h;
    h.printer.replies["CONf"] = DoneReply(Printer::ConfData("20050208", "%s%n"));
    ASSERT_EQ(1, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_NE(std::string::npos, h.log.content.find(" %s%n\n"));
}

}  // namespace
}  // namespace brenvik::test
