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

TEST_F(Faults, SplitPauseFallsInsideTheReplyNotBeforeIt) {
    for (const char* command : {"CTXT", "GLCN"}) {  // DONE alone, and a data block before it
        const std::string normal = Cmd(command);
        ASSERT_EQ(printer.Control("next split 2 7000"), "OK");
        const m301sim::Reply r = printer.Feed(m301sim::Frame(command));
        ASSERT_EQ(r.size(), 2u) << command;
        EXPECT_EQ(r[0].delayMs, 0u) << command << ": the first half comes at once";
        EXPECT_EQ(r[0].bytes.size(), normal.size() / 2) << command;
        EXPECT_EQ(r[0].bytes.find("READY"), std::string::npos) << command << ": the reply is not over before the pause";
        EXPECT_EQ(r[1].delayMs, 7000u) << command;
        EXPECT_EQ(m301sim::Flatten(r), normal) << command;
    }
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

// What a babbling printer sends: never a block, flow-control, wake-up or
// status byte, so that only the amount and the time tell it from a reply.
void ExpectJunk(const std::string& bytes) {
    for (char c : std::string("\x00\x11\x13\xFD\xFEU", 6))
        EXPECT_EQ(bytes.find(c), std::string::npos) << "byte " << static_cast<int>(static_cast<unsigned char>(c));
    EXPECT_EQ(bytes.find("READY"), std::string::npos);
}

TEST_F(Faults, BabbleTakesThePlaceOfTheReplyAndDeafensThePrinterUntilTurnedOff) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    EXPECT_TRUE(printer.Babble(10).empty()) << "a quiet printer has nothing to say";
    ASSERT_EQ(printer.Control("next babble"), "OK");
    EXPECT_TRUE(printer.Feed(m301sim::Frame("PREP1")).empty());
    EXPECT_EQ(State("check_open"), "true") << "the command was carried out";
    EXPECT_TRUE(printer.Babbling());
    EXPECT_EQ(State("babble"), "true");
    const std::string junk = printer.Babble(5000);
    EXPECT_EQ(junk.size(), 5000u);
    ExpectJunk(junk);
    EXPECT_TRUE(printer.Feed(m301sim::Frame("CANC")).empty());
    EXPECT_TRUE(printer.Feed("UUUUU").empty()) << "not even the wake-up is heard";
    EXPECT_EQ(State("check_open"), "true") << "commands meanwhile are not carried out";
    ASSERT_EQ(printer.Control("clear"), "OK");
    EXPECT_TRUE(printer.Babbling()) << "clear forgets pending faults only";
    ASSERT_EQ(printer.Control("babble off"), "OK");
    EXPECT_FALSE(printer.Babbling());
    EXPECT_TRUE(printer.Babble(10).empty());
    EXPECT_EQ(Status(Cmd("CANC")), "DONE");
    EXPECT_EQ(State("check_open"), "false");
}

TEST_F(Faults, BabbleAfterAWholeReplyFollowsItsReadyAtOnce) {
    const std::string normal = Cmd("GLCN");
    ASSERT_EQ(printer.Control("next babble after"), "OK");
    const m301sim::Reply r = printer.Feed(m301sim::Frame("GLCN"));
    ASSERT_EQ(r.size(), 1u) << "READY and junk leave in one piece";
    ASSERT_GT(r[0].bytes.size(), normal.size() + 2) << "READY is never followed by exactly two bytes";
    EXPECT_EQ(r[0].bytes.substr(0, normal.size()), normal);
    ExpectJunk(r[0].bytes.substr(normal.size()));
    EXPECT_TRUE(printer.Babbling());
    ExpectJunk(printer.Babble(100));
}

TEST_F(Faults, SilentBabbleLeavesTheCommandUndoneAndBabbleOnNeedsNoCommand) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    ASSERT_EQ(printer.Control("next silent"), "OK");
    ASSERT_EQ(printer.Control("next babble"), "OK");
    EXPECT_TRUE(printer.Feed(m301sim::Frame("PREP1")).empty());
    EXPECT_EQ(State("check_open"), "false");
    EXPECT_TRUE(printer.Babbling());
    ASSERT_EQ(printer.Control("babble off"), "OK");
    ASSERT_EQ(printer.Control("babble on"), "OK");
    EXPECT_TRUE(printer.Babbling()) << "an adapter talks before anything is asked";
    EXPECT_TRUE(printer.Feed(m301sim::Frame("PREP1")).empty());
    ASSERT_EQ(printer.Control("babble off"), "OK");
    EXPECT_EQ(State("check_open"), "false");
}

TEST_F(Faults, TargetedFaultsWaitForTheirCommand) {
    ASSERT_EQ(Status(Cmd("UPAS0000Іваненко")), "DONE");
    const std::string glcn = Cmd("GLCN");
    ASSERT_EQ(printer.Control("target NREP"), "OK");
    ASSERT_EQ(printer.Control("next silent"), "OK");
    EXPECT_EQ(Cmd("GLCN"), glcn) << "other commands pass untouched";
    EXPECT_EQ(Status(Cmd("nrep")), "DONE") << "case matters";
    EXPECT_TRUE(Cmd("NREP").empty());
    EXPECT_EQ(State("z_number"), "0") << "the targeted command was not heard";
    EXPECT_EQ(Status(Cmd("NREP")), "DONE") << "target and faults are spent together";
    EXPECT_EQ(State("z_number"), "1");

    // A lost end byte, and the receive time-out's refusal, are the target's.
    long long ms = 1000000;
    printer.SetTicks([&ms] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms)); });
    ASSERT_EQ(printer.Control("target PREP"), "OK");
    ASSERT_EQ(printer.Control("next lose-end"), "OK");
    ASSERT_EQ(printer.Control("next cut-end 1"), "OK");
    EXPECT_EQ(Status(Cmd("GLCN")), "DONE");
    EXPECT_TRUE(printer.Feed("\xFD" "CON").empty());
    ms += 2000;
    EXPECT_EQ(Blocks(m301sim::Flatten(printer.Poll())), (std::vector<std::string>{"SOFTTXTOUT", "READY"}))
        << "an unfinished block of another command leaves the faults pending";
    EXPECT_TRUE(printer.Feed(m301sim::Frame("PREP1")).empty());
    ms += 2000;
    const std::string refusal = m301sim::Flatten(printer.Poll());
    EXPECT_EQ(refusal, std::string("\xFDSOFTTXTOUT\x0B\xFE\xFDREADY\x06"));
    EXPECT_EQ(State("check_open"), "false");
    ASSERT_EQ(printer.Control("target CONf"), "OK");
    ASSERT_EQ(printer.Control("target any"), "OK");
    ASSERT_EQ(printer.Control("next silent"), "OK");
    EXPECT_TRUE(Cmd("GLCN").empty()) << "any: the next command again";
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
                            "handshake", "conf-length 4", "conf-length 253", "state now", "next babble now", "babble",
                            "babble maybe", "target", "target XXXX", "target NREPX", "target nrep PREP"}) {
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
