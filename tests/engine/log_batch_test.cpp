// The debug log of one exchange: kept back and written in one append, yet
// the file reads exactly as if every line had gone out on its own, and
// nothing is held back once the operation returns or a box is shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

// Every append as it came, beside the content.
class AppendLog : public MemoryLog {
public:
    std::vector<std::string> appends;
    void Append(const char* data, size_t count) override {
        appends.emplace_back(data, count);
        MemoryLog::Append(data, count);
    }
};

// The log as it stands when each box appears.
class SnoopingDialog : public MessageDialog {
public:
    const MemoryLog* log = nullptr;
    std::vector<std::string> atShow;
    void Show(const char*, const char*, uint32_t) override { atShow.push_back(log->content); }
};

struct Rig {
    ScriptedLine line;
    AppendLog log;
    FixedClock clock;
    SnoopingDialog dialog;
    Printer printer{line};
    std::unique_ptr<PrinterEngine> engine;

    Rig() {
        dialog.log = &log;
        engine = std::make_unique<PrinterEngine>(ScriptedPlatform(line, log, clock, dialog));
        engine->SetShowErrorMessages(0);
        EXPECT_EQ(1, engine->Init(3, "Ivanov", "1234", 0, ""));
        log.content.clear();
        log.appends.clear();
    }
};

// The same lines written one by one, outside any exchange.
std::string Unbatched(const std::vector<std::string>& messages) {
    Harness h;
    h.engine->OpenLog();
    h.log.content.clear();
    for (const std::string& m : messages) h.engine->WriteLog("%s", m.c_str());
    return h.log.content;
}

TEST(LogBatch, ExchangeReadsAsLineByLineInOneAppend) {
    struct Case {
        const char* name;
        std::string reply;
        std::vector<std::string> after;  // lines after the block's line
    };
    const std::string data = Block("0123456789") + DoneReply();
    const Case cases[] = {
        {"done", DoneReply(), {"Данные ИЗ регистратора: " + DoneReply(), "Команда выполнена успешно. Получен DONE"}},
        {"data and done", data, {"Данные ИЗ регистратора: " + data, "Команда выполнена успешно. Получен DONE"}},
        {"error word", ErrorReply("SOFTPARAM"),
         {"Данные ИЗ регистратора: " + ErrorReply("SOFTPARAM"),
          std::string("Ошибка 27: ") + PrinterEngine::ErrorMessage(27)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.printer.replies["TEST"] = c.reply;
        r.engine->SendCommand("TEST");
        std::vector<std::string> lines = {"Посылка В регистратор: " + Block("TEST")};
        lines.insert(lines.end(), c.after.begin(), c.after.end());
        // Byte for byte what single appends would have made, all of it in
        // the file once the exchange has returned.
        EXPECT_EQ(Unbatched(lines), r.log.content);
        EXPECT_EQ(1u, r.log.appends.size());
    }
}

TEST(LogBatch, LinesAroundAnExchangeKeepTheirOrder) {
    Rig r;
    r.engine->WriteLog("before");
    r.engine->SendCommand("TEST");
    r.engine->WriteLog("after");
    EXPECT_EQ(Unbatched({"before", "Посылка В регистратор: " + Block("TEST"),
                         "Данные ИЗ регистратора: " + DoneReply(), "Команда выполнена успешно. Получен DONE",
                         "after"}),
              r.log.content);
    // Each append holds whole lines only.
    for (const std::string& a : r.log.appends) EXPECT_EQ('\n', a.back());
}

TEST(LogBatch, BoxSeesEveryEarlierLine) {
    Rig r;
    r.engine->SetShowErrorMessages(1);
    r.printer.replies["TEST"] = ErrorReply("SOFTUPAS");
    r.engine->SendCommand("TEST");
    ASSERT_EQ(1u, r.dialog.atShow.size());
    EXPECT_EQ(Unbatched({"Посылка В регистратор: " + Block("TEST"),
                         "Данные ИЗ регистратора: " + ErrorReply("SOFTUPAS")}),
              r.dialog.atShow[0]);
    EXPECT_TRUE(r.log.Has(std::string("Ошибка 28: ") + PrinterEngine::ErrorMessage(28)));
}

TEST(LogBatch, SilentPrinterAndLongRepliesLoseNothing) {
    // A time-out's lines, and a reply longer than a log line takes, still
    // arrive whole and in order.
    Rig r;
    r.printer.silent = true;
    r.engine->SendCommand("TEST");
    EXPECT_EQ(Unbatched({"Посылка В регистратор: " + Block("TEST"), "Таймаут чтения от регистратора",
                         std::string("Ошибка 80: ") + PrinterEngine::ErrorMessage(80),
                         "Данные ИЗ регистратора: "}),
              r.log.content);

    Rig big;
    std::string reply;
    for (int i = 0; i < 8; ++i) reply += Block(std::string(200, static_cast<char>('a' + i)));
    reply += DoneReply();
    big.printer.replies["TEST"] = reply;
    big.engine->SendCommand("TEST");
    const std::vector<std::string> m = big.log.Messages();
    ASSERT_EQ(3u, m.size());
    EXPECT_EQ(1002u, m[1].size());  // cut as any long line: 1023 bytes with stamp and line feed
    EXPECT_EQ("Команда выполнена успешно. Получен DONE", m[2]);
    for (const std::string& a : big.log.appends) {
        EXPECT_EQ('\n', a.back());
        EXPECT_LE(a.size(), 4096u);
    }
}

TEST(LogBatch, MoreLinesThanTheBufferHoldsLeaveWholeAndInOrder) {
    // Two dozen error words in one reply: their lines overflow what one
    // exchange keeps back, which must then leave early, whole lines only.
    Rig r;
    std::string reply;
    std::vector<std::string> lines = {"Посылка В регистратор: " + Block("TEST"), ""};
    for (int i = 0; i < 12; ++i) {
        reply += Block("SOFTDIFART") + Block("SOFTBADART");
        lines.push_back(std::string("Ошибка 41: ") + PrinterEngine::ErrorMessage(41));
        lines.push_back(std::string("Ошибка 42: ") + PrinterEngine::ErrorMessage(42));
    }
    reply += ReadyBlock();
    lines[1] = "Данные ИЗ регистратора: " + reply;
    r.printer.replies["TEST"] = reply;
    r.engine->SendCommand("TEST");
    EXPECT_EQ(42u, r.engine->ErrorNumber);
    EXPECT_EQ(Unbatched(lines), r.log.content);
    EXPECT_GE(r.log.appends.size(), 2u);
    for (const std::string& a : r.log.appends) {
        EXPECT_EQ('\n', a.back());
        EXPECT_LE(a.size(), 4096u);
    }
}

// Every line's stamp reads as printf's "%02d.%02d.%02d/%02d:%02d:%02d ",
// clocks out of the usual ranges included.
TEST(LogBatch, StampsReadAsPrintfMakesThem) {
    const LocalTime cases[] = {
        {2010, 3, 5, 14, 3, 9},   {2026, 12, 31, 23, 59, 59}, {1000, 1, 1, 0, 0, 0},
        {9999, 99, 99, 99, 99, 99}, {999, 1, 1, 0, 0, 0},     {10000, 1, 1, 0, 0, 0},
        {2010, 100, 5, 14, 3, 9}, {2010, 3, -1, 14, 3, 9},    {2010, 3, 5, 14, 3, 60},
        {0, 0, 0, 0, 0, 0},       {-2010, -3, -5, -14, -3, -9},
    };
    for (const LocalTime& t : cases) {
        Harness h;
        h.clock.time = t;
        h.engine->OpenLog();
        h.log.content.clear();
        h.engine->WriteLog("x%d", 1);
        char expected[128];
        std::snprintf(expected, sizeof expected, "%02d.%02d.%02d/%02d:%02d:%02d x1\n", t.day, t.month, t.year,
                      t.hour, t.minute, t.second);
        EXPECT_EQ(expected, h.log.content) << t.year << " " << t.month << " " << t.day;
    }
}

}  // namespace
}  // namespace brenvik::test

namespace brenvik::test {
namespace {

TEST(LogBatch, APrinterThatKeepsUsWaitingFindsTheLinesAlreadyWritten) {
    // Killed while the printer is silent, a program must still leave in its
    // log the command it was waiting for.
    Rig r;
    r.printer.delayMs = 3000;
    std::vector<std::pair<uint32_t, std::string>> waits;
    r.line.onWait = [&](uint32_t timeout) { waits.emplace_back(timeout, r.log.content); };
    r.engine->SendCommand("TEST");
    EXPECT_EQ(0u, r.engine->ErrorNumber);
    bool sawLongWait = false;
    for (const auto& [timeout, content] : waits) {
        if (timeout <= PrinterEngine::kLogFlushAfterMs) continue;
        sawLongWait = true;
        EXPECT_NE(std::string::npos, content.find("Посылка В регистратор: " + Block("TEST")));
    }
    EXPECT_TRUE(sawLongWait);
    // The whole silent stretch is still 6000 ms: a printer answering after
    // 5990 ms is in time, one after 6010 ms is not.
    for (auto [delay, error] : {std::pair{5990u, 0u}, {6010u, 80u}}) {
        Rig s;
        s.printer.delayMs = delay;
        s.line.txEmptyEvents = false;
        s.engine->SendCommand("TEST");
        EXPECT_EQ(error, s.engine->ErrorNumber) << delay;
    }
}

}  // namespace
}  // namespace brenvik::test
