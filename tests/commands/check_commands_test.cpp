#include <gtest/gtest.h>

#include <algorithm>

#include <climits>
#include <string>
#include <vector>

#include "tests/commands/command_test_util.h"

namespace brenvik::test {
namespace {

std::string Comp(const std::vector<const char*>& amounts) {
    std::string t = "COMP";
    for (const char* a : amounts) t += std::string(10 - std::string(a).size(), '0') + a;
    return t;
}

TEST(CheckCommands, CompAmountsAndTheAllZeroRule) {
    const struct {
        const char* what;
        int32_t sales, returns;
        uint32_t a[6];
        std::string text;
    } cases[] = {
        {"cash close", 1250, 0, {1250, 0, 0, 0, 0, 1250}, Comp({"1250", "0", "0", "0", "0", "1250"})},
        {"payments given, no fallback", 500, 200, {500, 200, 0, 0, 0, 0},
         "COMP000000050000000002000000000000000000000000000000000000000000"},
        {"all zero, returns only", 0, 700, {}, Comp({"0", "700", "0", "0", "0", "700"})},
        {"all zero, sales only", 900, 0, {}, Comp({"900", "0", "0", "0", "0", "900"})},
        {"all zero, sales over returns", 500, 200, {}, Comp({"500", "200", "0", "0", "0", "300"})},
        {"all zero, returns over sales", 300, 700, {}, Comp({"300", "700", "0", "0", "0", "0"})},
        {"all zero, negative total as unsigned", -5, 0, {}, Comp({"4294967291", "0", "0", "0", "0", "4294967291"})},
        {"widest amounts", 0, 0, {UINT32_MAX, 1, 2, 3, 4, 5},
         Comp({"4294967295", "1", "2", "3", "4", "5"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        h.engine->CheckSumm = c.sales;
        h.engine->CheckReturnSumm = c.returns;
        EXPECT_EQ(h.engine->CloseCheckCommand(c.a[0], c.a[1], c.a[2], c.a[3], c.a[4], c.a[5]), 0u);
        auto sent = h.line.Commands();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0], c.text);
        EXPECT_EQ(sent[0].size(), 64u);
        EXPECT_EQ(sent[1], "KASS");
        EXPECT_EQ(h.engine->CheckSumm, 0);
        EXPECT_EQ(h.engine->CheckReturnSumm, 0);
    }
}

TEST(CheckCommands, CompLogsTheAmountsAsPassedThenTheDrawer) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.engine->CheckSumm = 100;
    h.engine->CheckOnSaleTaxes = 15;
    h.engine->CloseCheckCommand(0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(h.log.Has("F:COMP(0, 0, 0, 0, 0, 0) Закрытие фискального чека ----------------------------"));
    EXPECT_TRUE(h.log.Has("F:KASS() Открытие денежного ящика"));
    EXPECT_EQ(h.engine->CheckOnSaleTaxes, 15);  // the tax totals stay readable
}

TEST(CheckCommands, DrawerNeverMasksTheOutcomeOfCompOrCaio) {
    const struct {
        const char* what;
        std::string commandReply, kassReply;
        uint32_t number;
        const char* code;
    } cases[] = {
        {"command done, drawer fails", DoneReply(Printer::CompData(43)), ErrorReply("HARDCUTTER"), 0, ""},
        {"command fails, drawer done", ErrorReply("SOFTPROTOC"), DoneReply(), 24, "SOFTPROTOC"},
        {"both fail", ErrorReply("SOFTPAPER"), ErrorReply("HARDCUTTER"), 81, "SOFTPAPER"},
    };
    for (const auto& c : cases) {
        for (bool comp : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (comp ? " (COMP)" : " (CAIO)"));
            Harness h;
            ASSERT_EQ(h.Connect(), 1);
            h.printer.replies[comp ? "COMP" : "CAIO"] = c.commandReply;
            h.printer.replies["KASS"] = c.kassReply;
            uint32_t r = comp ? h.engine->CloseCheckCommand(1, 0, 0, 0, 0, 1) : h.engine->MoveCashCommand(100);
            EXPECT_EQ(r, c.number);
            EXPECT_EQ(h.engine->ErrorNumber, c.number);
            EXPECT_STREQ(h.engine->ErrorCode, c.code);
            EXPECT_EQ(h.line.Commands().back(), "KASS");
        }
    }
}

TEST(CheckCommands, CaioDirectionAndAmount) {
    const struct {
        int32_t amount;
        std::string text, log;
    } cases[] = {
        {-1500, "CAIOO0000001500", "F:CAIO(-1500) Служебное внесение/вынесение"},
        {0, "CAIOI0000000000", "F:CAIO(0) Служебное внесение/вынесение"},
        {2500, "CAIOI0000002500", "F:CAIO(2500) Служебное внесение/вынесение"},
        {INT32_MIN, "CAIOO2147483648", "F:CAIO(-2147483648) Служебное внесение/вынесение"},
    };
    for (const auto& c : cases) {
        Harness h;
        ASSERT_EQ(h.Connect(), 1);
        EXPECT_EQ(h.engine->MoveCashCommand(c.amount), 0u);
        auto sent = h.line.Commands();
        // The cash registers first, then the command, then the drawer.
        ASSERT_GE(sent.size(), 3u);
        EXPECT_NE(std::find(sent.begin(), sent.end() - 2, "CCAS"), sent.end() - 2);
        EXPECT_EQ(sent[sent.size() - 2], c.text);
        EXPECT_EQ(sent.back(), "KASS");
        EXPECT_TRUE(h.log.Has(c.log));
    }
}

TEST(CheckCommands, OpenCheckCancelsFirstAndZeroesTheLineTotals) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.engine->CheckSumm = 700;
    h.engine->CheckReturnSumm = 300;
    h.printer.replies["CANC"] = ErrorReply("SOFTPROTOC");  // nothing open: not examined
    EXPECT_EQ(h.engine->OpenCheckCommand("Відділ 1"), 0u);
    auto sent = h.line.Commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], "CANC");
    EXPECT_EQ(sent[1], OnWire("PREPВідділ 1"));
    EXPECT_EQ(h.engine->CheckSumm, 0);
    EXPECT_EQ(h.engine->CheckReturnSumm, 0);
    EXPECT_TRUE(h.log.Has("F:PREP(Відділ 1) Открытие фискального чека ----------------------------"));
    EXPECT_TRUE(h.log.Has("F:CANC() Отмена фискального чека"));

    h.Forget();
    h.printer.replies["PREP"] = ErrorReply("SOFTUPAS");
    EXPECT_EQ(h.engine->OpenCheckCommand(nullptr), 28u);
    EXPECT_EQ(h.line.Commands().back(), "PREP");
}

TEST(CheckCommands, ReturnCheckNumberIsConverted) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    EXPECT_EQ(h.engine->SetReturnCheckNumberCommand("12, №15"), 0u);
    EXPECT_EQ(OnlyCommand(h), OnWire("BCHN12, №15"));
    EXPECT_TRUE(h.log.Has("F:BCHN(12, №15) Установка номера возвратного чека"));
}

TEST(CheckCommands, LinkDownDoesNothing) {
    Harness h;
    ASSERT_EQ(h.Connect(), 1);
    h.engine->Connected = 0;
    h.engine->ErrorNumber = 24;
    h.engine->CheckSumm = 500;
    EXPECT_EQ(h.engine->OpenCheckCommand("1"), 24u);
    EXPECT_EQ(h.engine->CloseCheckCommand(0, 0, 0, 0, 0, 0), 24u);
    EXPECT_EQ(h.engine->SetReturnCheckNumberCommand("1"), 24u);
    EXPECT_EQ(h.engine->MoveCashCommand(1), 24u);
    EXPECT_EQ(h.engine->CheckSumm, 500);
    EXPECT_TRUE(h.line.writes.empty());
    EXPECT_TRUE(h.log.content.empty());
}

}  // namespace
}  // namespace brenvik::test
