// Fault injection: every control command, what it does to the next reply,
// and that it does it once.
#include <chrono>

#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

class Faults : public PrinterTest {};

const std::string kDoneReady = "\xFD" "DONE\x05\xFE\xFDREADY\x06\xFE";

TEST_F(Faults, SilentCommandIsNotEvenHeard) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("next silent"), "OK");
    EXPECT_TRUE(printer.Feed(m301sim::Frame("PREP1")).empty());
    EXPECT_EQ(State("check_open"), "false") << "the command was not carried out";
    EXPECT_EQ(Status(Cmd("PREP1")), "DONE") << "only the next command";
}

TEST_F(Faults, ReplyShapesFollowTheNextCommand) {
    const std::string normal = Cmd("GLCN");
    struct Case {
        const char* control;
        std::string expected;
    } cases[] = {
        {"next cut 7", normal.substr(0, 7)},
        {"next cut 0", ""},
        {"next cut 100000", normal},
        {"next noise", std::string("\x2A\x07\x5A\xB1\x3F\x08\x7E\xC4") + normal},
        {"next trailing 3", normal + "***"},
        {"next cut-end 2", normal.substr(0, normal.size() - 2)},
        {"next cut-end 100000", ""},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(printer.Control(c.control), "OK") << c.control;
        EXPECT_EQ(Cmd("GLCN"), c.expected) << c.control;
        EXPECT_EQ(Cmd("GLCN"), normal) << c.control << " lasts one reply";
    }
}

TEST_F(Faults, SplitReplyComesInPiecesWithPauses) {
    const std::string normal = Cmd("CONf");
    ASSERT_EQ(printer.Control("next split 3 2000"), "OK");
    const m301sim::Reply r = printer.Feed(m301sim::Frame("CONf"));
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].delayMs, 0u);
    EXPECT_EQ(r[1].delayMs, 2000u);
    EXPECT_EQ(r[2].delayMs, 2000u);
    EXPECT_EQ(m301sim::Flatten(r).substr(0, 18), normal.substr(0, 18)) << "same bytes, the clock aside";
    EXPECT_EQ(m301sim::Flatten(r).size(), normal.size());
    EXPECT_EQ(printer.Feed(m301sim::Frame("GLCN")).size(), 1u);
}

TEST_F(Faults, DelayedReplyComesLateButWhole) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("next delay 7000"), "OK");
    const m301sim::Reply r = printer.Feed(m301sim::Frame("PREP1"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].delayMs, 7000u);
    EXPECT_EQ(Status(r[0].bytes), "DONE");
    EXPECT_EQ(State("check_open"), "true") << "carried out at once, only the answer waits";
    ASSERT_EQ(printer.Control("next delay 500"), "OK");
    ASSERT_EQ(printer.Control("next split 2 100"), "OK");
    const m301sim::Reply pieces = printer.Feed(m301sim::Frame("GLCN"));
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].delayMs, 500u) << "the delay comes before the first piece";
    EXPECT_EQ(pieces[1].delayMs, 100u);
}

// The receive time-out, on a pinned monotonic clock.
class ReceiveTimeout : public PrinterTest {
protected:
    ReceiveTimeout() {
        printer.SetTicks([this] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms)); });
    }
    long long ms = 1000000;
};

const std::string kTxtOut = "\xFDSOFTTXTOUT\x0B\xFE\xFDREADY\x06\xFE";

TEST_F(ReceiveTimeout, AnUnfinishedBlockIsRefusedTwoSecondsAfterItsLastByte) {
    EXPECT_EQ(printer.MsUntilPoll(), -1) << "nothing pending";
    const std::string block = m301sim::Frame("GLCN");
    EXPECT_TRUE(printer.Feed(block.substr(0, 3)).empty());
    ms += 1900;
    EXPECT_TRUE(printer.Feed(block.substr(3, 2)).empty()) << "each byte starts the wait anew";
    ms += 1999;
    EXPECT_TRUE(printer.Poll().empty());
    EXPECT_EQ(printer.MsUntilPoll(), 2);
    ms += 1;
    EXPECT_EQ(m301sim::Flatten(printer.Poll()), kTxtOut);
    EXPECT_EQ(printer.MsUntilPoll(), -1);
    EXPECT_TRUE(printer.Feed(block.substr(5)).empty()) << "the rest of the dropped block is no block";
    EXPECT_EQ(Status(Cmd("GLCN")), "DONE");
}

TEST_F(ReceiveTimeout, BytesAfterTheTimeOutFindTheBlockAlreadyRefused) {
    EXPECT_TRUE(printer.Feed("\xFD" "CON").empty());
    ms += 2500;  // nobody polled meanwhile
    const std::string reply = m301sim::Flatten(printer.Feed(m301sim::Frame("GLCN")));
    EXPECT_EQ(reply.substr(0, kTxtOut.size()), kTxtOut);
    EXPECT_EQ(Status(reply.substr(kTxtOut.size())), "DONE");
}

TEST_F(ReceiveTimeout, LostEndByteLeavesTheCommandUndoneAndRefused) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("next lose-end"), "OK");
    ASSERT_EQ(printer.Control("next cut-end 1"), "OK");
    EXPECT_TRUE(printer.Feed(m301sim::Frame("PREP1")).empty());
    ms += 2000;
    EXPECT_EQ(m301sim::Flatten(printer.Poll()), kTxtOut.substr(0, kTxtOut.size() - 1))
        << "the other faults shape the refusal";
    EXPECT_EQ(State("check_open"), "false");
    EXPECT_EQ(Status(Cmd("PREP1")), "DONE") << "only one block loses its end";
}

TEST_F(Faults, InjectedErrorWordsReplaceTheAnswerAndTheCommand) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("next error SOFTPAPER HARDCUTTER MEM_ERROR_CODE_07"), "OK");
    const std::string reply = Cmd("PREP1");
    EXPECT_EQ(Blocks(reply), (std::vector<std::string>{"SOFTPAPER", "HARDCUTTER", "MEM_ERROR_CODE_07", "READY"}));
    EXPECT_EQ(State("check_open"), "false");
    // A data command fails without its data.
    ASSERT_EQ(printer.Control("next error SOFTOVER"), "OK");
    EXPECT_EQ(Blocks(Cmd("CONf")), (std::vector<std::string>{"SOFTOVER", "READY"}));
}

TEST_F(Faults, DoneAndErrorCarriesBothAndTheCommandIsCarriedOut) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("next done-and-error SOFTPAPER"), "OK");
    EXPECT_EQ(Status(Cmd("PREP1")), "DONE SOFTPAPER");
    EXPECT_EQ(State("check_open"), "true");
    ASSERT_EQ(Status(Line(Sale{})), "DONE");
    ASSERT_EQ(printer.Control("next done-and-error SOFTPAPER"), "OK");
    const std::string comp = Cmd(Comp(1050, 0, 0, 0, 0, 1050));
    EXPECT_EQ(Status(comp), "DONE SOFTPAPER") << "at the closing command too";
    EXPECT_EQ(Data(comp).substr(0, 4), "COMP");
    EXPECT_EQ(State("check_open"), "false");
    EXPECT_EQ(State("day_sales"), "1050");
}

TEST_F(Faults, ConfigurationReplyLengthAndEndByte) {
    struct Case {
        long length;
        size_t text;
    } cases[] = {{152, 151}, {153, 152}, {154, 153}, {165, 164}};
    for (const Case& c : cases) {
        ASSERT_EQ(printer.Control("conf-length " + std::to_string(c.length)), "OK");
        const std::string conf = Data(Cmd("CONf"));
        EXPECT_EQ(conf.size(), c.text) << c.length;
        EXPECT_EQ(conf.substr(110, 4), "vMTM") << "the fields stay where they are";
    }
    ASSERT_EQ(printer.Control("conf-length 153"), "OK");
    ASSERT_EQ(printer.Control("conf-no-end"), "OK");
    const std::string cut = Cmd("CONf");
    EXPECT_EQ(cut.substr(154, 7), "\xFD" "DONE\x05\xFE") << "the length byte is followed by the next block";
    EXPECT_EQ(cut.size(), 154u + 15u);
    EXPECT_EQ(Data(Cmd("CONf")).size(), 152u) << "one reply only";
}

TEST_F(Faults, SwitchesStayUntilChanged) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("paper out"), "OK");
    EXPECT_EQ(Status(Cmd("PREP1")), "SOFTPAPER");
    EXPECT_EQ(Status(Cmd("ZREP1")), "SOFTPAPER");
    EXPECT_EQ(Status(Cmd("GLCN")), "DONE") << "queries need no paper";
    EXPECT_EQ(State("paper"), "\"out\"");
    ASSERT_EQ(printer.Control("paper in"), "OK");
    EXPECT_EQ(Status(Cmd("PREP1")), "DONE");
    ASSERT_EQ(printer.Control("key 4"), "OK");
    EXPECT_EQ(Data(Cmd("CONf")).substr(74, 1), "4");
    EXPECT_EQ(State("key"), "4");
}

TEST_F(Faults, ClearForgetsPendingFaults) {
    ASSERT_EQ(printer.Control("next silent"), "OK");
    ASSERT_EQ(printer.Control("next error SOFTPAPER"), "OK");
    ASSERT_EQ(printer.Control("clear"), "OK");
    EXPECT_EQ(Cmd("CTXT"), kDoneReady);
}

TEST_F(Faults, BadControlCommandsAreRefusedWithAReason) {
    for (const char* bad : {"", "bogus", "next", "next bogus", "next cut", "next cut -1", "next cut x",
                            "next split 0 10", "next split 3",
                            "next delay", "next delay 60001", "next cut-end x", "next lose-end 2", "next error", "key 3", "key", "paper maybe",
                            "handshake", "conf-length 4", "conf-length 253", "state now"}) {
        const std::string answer = printer.Control(bad);
        EXPECT_EQ(answer.substr(0, 4), "ERR ") << "'" << bad << "' -> " << answer;
    }
}

TEST_F(Faults, StateIsOneLineOfJson) {
    const std::string json = printer.Control("state");
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
    EXPECT_EQ(json.find('\n'), std::string::npos);
    for (const char* key : {"check_open", "check_sales", "z_number", "cash", "last_check_number", "day_sales",
                            "fiscal_memory_records", "cashier", "key", "paper"})
        EXPECT_NE(json.find(std::string("\"") + key + "\":"), std::string::npos) << key;
    ASSERT_EQ(Status(Cmd("UPAS0000\"Іван\" \\Петро")), "DONE");
    EXPECT_NE(printer.Control("state").find("\"cashier\":\"\\\"Iван\\\" \\\\Петро\""), std::string::npos)
        << printer.Control("state");
}

TEST_F(Faults, PrintDelayIsAskedForEveryPrintedLine) {
    m301sim::Config c;
    c.printDelayMs = 10;
    m301sim::Printer p(c);
    ASSERT_EQ(Status(p.Command(ToPrinterText("UPAS0000Іван"))), "DONE");
    const m301sim::Reply r = p.Feed(m301sim::Frame("CAIOI0000001500"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_GE(r[0].delayMs, 60u) << "a cash document has several lines";
    EXPECT_EQ(p.Feed(m301sim::Frame("GLCN"))[0].delayMs, 0u) << "queries print nothing";
}

}  // namespace
}  // namespace simtest
