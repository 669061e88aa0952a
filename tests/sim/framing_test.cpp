// The wire as the engine sees it: wake-up, block checks, the end of every
// reply, the layouts and lengths of the data replies, the code page.
#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

const std::string kReady = "\xFDREADY\x06\xFE";

class Framing : public PrinterTest {};

TEST_F(Framing, FiveWakeUpBytesAreAnsweredWithTheReadyBlock) {
    EXPECT_EQ(m301sim::Flatten(printer.Feed("UUUU")), "");
    EXPECT_EQ(m301sim::Flatten(printer.Feed("U")), kReady);
    // The engine's second handshake sends five more: answered again.
    EXPECT_EQ(m301sim::Flatten(printer.Feed("UUUUU")), kReady);
    // Another byte between them starts the count anew.
    EXPECT_EQ(m301sim::Flatten(printer.Feed("UUxUUU")), "");
}

TEST_F(Framing, HandshakeOffIgnoresWakeUpBytesButNotCommands) {
    ASSERT_EQ(printer.Control("handshake off"), "OK");
    EXPECT_EQ(m301sim::Flatten(printer.Feed("UUUUUUUUUU")), "");
    EXPECT_EQ(Status(Cmd("GLCN")), "DONE");
    ASSERT_EQ(printer.Control("handshake on"), "OK");
    EXPECT_EQ(m301sim::Flatten(printer.Feed("UUUUU")), kReady);
}

TEST_F(Framing, MalformedBlocksAreRefusedWithTheirErrorWord) {
    const std::string longText = "HEAD" + std::string(248, 'x');  // 252 characters: one too many
    struct Case {
        const char* what;
        std::string bytes;
        const char* word;
    } cases[] = {
        {"wrong length byte", std::string("\xFD") + "CONf" + "\x07\xFE", "SOFTBLOCK"},
        {"block of 254 bytes after the start", m301sim::Frame(longText), "SOFTBLOCK"},
        {"no length byte at all", "\xFD\xFE", "SOFTBLOCK"},
        {"empty text", m301sim::Frame(""), "SOFTCOMMAN"},
        {"unknown command", m301sim::Frame("ABCD"), "SOFTCOMMAN"},
        {"case matters", m301sim::Frame("conf"), "SOFTCOMMAN"},
        {"case matters for zero Z too", m301sim::Frame("Nrep"), "SOFTCOMMAN"},
        {"three letters", m301sim::Frame("CON"), "SOFTCOMMAN"},
    };
    for (const Case& c : cases) {
        const std::string reply = m301sim::Flatten(printer.Feed(c.bytes));
        EXPECT_EQ(Status(reply), c.word) << c.what;
        EXPECT_EQ(Blocks(reply).size(), 2u) << c.what << ": no data, only the word and READY";
    }
}

TEST_F(Framing, OverlongBlockWithoutEndIsRefusedOnceWhenItsEndComes) {
    std::string bytes = "\xFD" + std::string(400, 'A');
    EXPECT_EQ(m301sim::Flatten(printer.Feed(bytes)), "");
    EXPECT_EQ(Status(m301sim::Flatten(printer.Feed("\xFE"))), "SOFTBLOCK");
    EXPECT_EQ(Status(Cmd("GLCN")), "DONE") << "the printer reads the next block normally";
}

TEST_F(Framing, LongestAllowedBlockIsTakenAsACommand) {
    // 251 characters of text: the block is fine, the argument is too long.
    ASSERT_EQ(printer.Control("key 8"), "OK");
    EXPECT_EQ(Status(Cmd("HEAD" + std::string(247, 'x'))), "SOFTPARAM");
}

TEST_F(Framing, BlockArrivingInPiecesIsAnsweredWhenComplete) {
    const std::string block = m301sim::Frame("GLCN");
    EXPECT_TRUE(printer.Feed(block.substr(0, 3)).empty());
    EXPECT_TRUE(printer.Feed(block.substr(3, 3)).empty());
    EXPECT_EQ(Status(m301sim::Flatten(printer.Feed(block.substr(6)))), "DONE");
}

TEST_F(Framing, FlowControlBytesOutsideBlocksAreIgnored) {
    EXPECT_EQ(Status(m301sim::Flatten(printer.Feed(std::string("\x13\x11\0", 3) + m301sim::Frame("GLCN")))),
              "DONE");
}

TEST_F(Framing, DataRepliesHaveTheirLayoutLengths) {
    OpenCheck();
    ASSERT_EQ(Status(Line(Sale{})), "DONE");
    ASSERT_EQ(Status(Cmd(Comp(1050, 0, 0, 0, 0, 1050))), "DONE");
    ASSERT_EQ(Status(Cmd("PREP1")), "DONE");
    const std::string fisc = Line(Sale{});
    ASSERT_EQ(Status(Cmd("CANC")), "DONE");
    const std::string comp = Cmd(Comp(0, 0, 0, 0, 0, 0));  // no check open: refused, no data
    struct Case {
        const char* command;
        size_t length;  // text, tag included
    } cases[] = {{"CONf", 152}, {"CNAL", 116}, {"GLCN", 41}, {"CCAS", 92}, {"CFIS", 244}, {"GETD", 19}};
    for (const Case& c : cases) {
        const std::string data = Data(Cmd(c.command));
        EXPECT_EQ(data.substr(0, 4), c.command);
        EXPECT_EQ(data.size(), c.length) << c.command;
    }
    EXPECT_EQ(Data(fisc), "FISC0000000000");
    EXPECT_EQ(Status(comp), "SOFTPROTOC");
    EXPECT_EQ(Data(Cmd("ARTD0000")), "") << "article 0 is never recorded";
}

TEST_F(Framing, ConfigurationReplyCarriesTheConfiguredFields) {
    const std::string conf = Data(Cmd("CONf"));
    ASSERT_EQ(conf.size(), 152u);
    EXPECT_EQ(conf.substr(4, 10), "4000012345");
    EXPECT_EQ(conf.substr(14, 10), "3000054321");
    EXPECT_EQ(m301sim::FromPrinterText(conf.substr(24, 17)), "ТОВ \"Демо-Маркет\"");
    EXPECT_EQ(conf.substr(74, 1), "1") << "key in the work position";
    EXPECT_EQ(conf.substr(110, 4), "vMTM");
    EXPECT_EQ(conf.substr(114, 8), "20050208");
    EXPECT_EQ(conf.substr(148, 1), "2");
    EXPECT_EQ(m301sim::FromPrinterText(conf.substr(149, 3)), "ГРН");
    const std::string cnal = Data(Cmd("CNAL"));
    EXPECT_EQ(cnal.substr(4, 14), "20240101002000");
    EXPECT_EQ(cnal.substr(18, 14), "20240101000700");
    EXPECT_EQ(cnal.substr(32, 14), "20240101000000");
    EXPECT_EQ(cnal.substr(46, 14), "00000000000000") << "tax 4 is not programmed";
}

TEST_F(Framing, LengthBytesThatALineDisciplineWouldSwallowAreAvoided) {
    // GETD is 18 characters: its length byte would be 0x13, XOFF.
    const std::string getd = Cmd("GETD");
    EXPECT_EQ(getd.find('\x13'), std::string::npos);
    EXPECT_EQ(getd.find('\x11'), std::string::npos);
    EXPECT_EQ(Data(getd).substr(18), " ");

    m301sim::Config raw;
    raw.guardFlowControl = false;
    m301sim::Printer exact(raw);
    const std::string exactGetd = exact.Command("GETD");
    EXPECT_EQ(static_cast<unsigned char>(exactGetd[19]), 0x13) << "--raw-lengths sends the byte as it is";
}

TEST_F(Framing, NoReplyByteIsAFlowControlByteAcrossAWholeDay) {
    std::string all;
    OpenCheck();
    all += Line(Sale{});
    all += Cmd(Comp(1050, 0, 0, 0, 0, 2000));
    for (const char* c : {"CONf", "CNAL", "GLCN", "CCAS", "CFIS", "GETD", "ZREP1", "NREP", "CAIOI0000001500"})
        all += Cmd(c);
    EXPECT_EQ(all.find('\x13'), std::string::npos);
    EXPECT_EQ(all.find('\x11'), std::string::npos);
    EXPECT_EQ(all.find('\0'), std::string::npos);
}

TEST_F(Framing, CodePageRoundTripsTheLettersTheEngineConverts) {
    EXPECT_EQ(ToPrinterText("Їжак і Ёж"), "\xF4\xA6\xA0\xAA I \xF0\xA6");
    EXPECT_EQ(m301sim::FromPrinterText("\x8F\xE0\xA8"), "При");
    EXPECT_EQ(m301sim::FromPrinterText(ToPrinterText("Єєїї АЯаяпр")), "Єєїї АЯаяпр");
}

}  // namespace
}  // namespace simtest
