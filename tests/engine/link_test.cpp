// The printer link on the scripted line: blocks on the wire, the handshake,
// reply collection and its time-outs, the port-opening steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/support/engine_harness.h"

namespace brenvik::test {
namespace {

std::string Hex(const std::string& s) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

TEST(Framing, BlocksAreByteExact) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    struct Case {
        std::string text, wire;
    } cases[] = {
        {"CNAL", std::string("\xFD" "CNAL\x05\xFE")},
        {"CONf", std::string("\xFD" "CONf\x05\xFE")},
        {"", std::string("\xFD\x01\xFE", 3)},
    };
    for (const auto& c : cases) {
        h.line.writes.clear();
        h.engine->SendCommand(c.text.c_str());
        ASSERT_EQ(1u, h.line.writes.size());
        EXPECT_EQ(Hex(c.wire), Hex(h.line.writes[0])) << c.text;
        EXPECT_TRUE(h.engine->TxQueue.empty());
    }
    EXPECT_TRUE(h.log.Has("Посылка В регистратор: \xFD" "CONf\x05\xFE"));
}

TEST(Framing, LongestTextFitsAndLongerIsRefused) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    std::string text(251, 'A');
    h.engine->SendCommand(text.c_str());
    ASSERT_EQ(1u, h.line.writes.size());
    EXPECT_EQ(254u, h.line.writes[0].size());
    EXPECT_EQ('\xFC', h.line.writes[0][252]);

    h.line.writes.clear();
    std::string tooLong(252, 'B');
    h.engine->SendCommand(tooLong.c_str());
    EXPECT_TRUE(h.line.writes.empty());
    EXPECT_EQ(uint32_t(kErrCommandTooLong), h.engine->ErrorNumber);
    EXPECT_STREQ("CMDTOOLONG", h.engine->ErrorCode);
}

TEST(CodePage, ConversionsFollowTheTables) {
    char text[] = "\xAF\xE6\xE0\xEA \xB3 \xA8\xE6";  // Їжак і Ёж
    PrinterEngine::ToPrinterCodePage(text);
    EXPECT_EQ(Hex("\xF4\xA6\xA0\xAA I \xF0\xA6"), Hex(text));
    PrinterEngine::FromPrinterCodePage(text);
    EXPECT_EQ(Hex("\xAF\xE6\xE0\xEA I \xA8\xE6"), Hex(text));

    // Every letter leaves and comes back; everything else stays put.
    for (int c = 1; c < 256; ++c) {
        char one[2] = {static_cast<char>(c), 0};
        PrinterEngine::ToPrinterCodePage(one);
        unsigned char out = static_cast<unsigned char>(one[0]);
        bool letter = c >= 0xC0 || c == 0xA8 || c == 0xB8 || c == 0xAA || c == 0xBA || c == 0xAF ||
                      c == 0xBF || c == 0xB3;
        if (!letter) {
            EXPECT_EQ(c, out) << c;
        }
        PrinterEngine::FromPrinterCodePage(one);
        if (letter && c != 0xB3) {
            EXPECT_EQ(c, static_cast<unsigned char>(one[0])) << c;
        }
    }
    // A zero byte ends the conversion.
    char withZero[] = "\xC0\0\xC0";
    PrinterEngine::ToPrinterCodePage(withZero);
    EXPECT_EQ('\x80', withZero[0]);
    EXPECT_EQ('\xC0', withZero[2]);
}

TEST(Handshake, ReadyInOneReadTwoReadsOrBehindNoise) {
    const std::string ready = "\xFD" "READY\x06\xFE";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
    } cases[] = {
        {"one read", {ready}},
        {"two reads", {"\xFD" "REA", "DY\x06\xFE"}},
        {"noise first", {"\x01\x02junk\xFE", ready}},
    };
    for (const auto& c : cases) {
        Harness h;
        h.line.Open("\\\\.\\COM3");
        // Deliver the pieces on the first wake-up only.
        h.line.script = [&, sent = false](ScriptedLine& l, const std::string& bytes) mutable {
            if (bytes == "U" && !sent && l.writes.size() == 5) {
                sent = true;
                uint64_t at = 5;
                for (const auto& p : c.pieces) l.Arrive(p, at += 100);
            }
        };
        EXPECT_EQ(1, h.engine->Handshake()) << c.name;
        EXPECT_EQ(1, h.engine->Connected) << c.name;
        EXPECT_TRUE(h.engine->RxQueue.empty());
        EXPECT_TRUE(h.line.dtr.empty()) << c.name;
        EXPECT_TRUE(h.log.Has("Связь успешно установлена")) << c.name;
        EXPECT_TRUE(h.log.Has("Попытка соединения с ЭККР Мария 301МТМ..."));
    }
}

TEST(Handshake, ReadyWithThreeTrailingBytesFailsAfterDtrPulse) {
    Harness h;
    h.printer.readyAnswer = "\xFD" "READY\x06\xFE" "X";
    EXPECT_EQ(0, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(0, h.engine->Connected);
    EXPECT_EQ(uint32_t(kErrNoConnection), h.engine->ErrorNumber);
    EXPECT_STREQ("CONNTIMEOUT", h.engine->ErrorCode);
    // Two runs, each: silence, DTR down for 3000 ms, DTR up.
    ASSERT_EQ(4u, h.line.dtr.size());
    EXPECT_FALSE(h.line.dtr[0].second);
    EXPECT_TRUE(h.line.dtr[1].second);
    EXPECT_EQ(3000u, h.line.dtr[1].first - h.line.dtr[0].first);
    EXPECT_EQ(10u, std::count(h.line.writes.begin(), h.line.writes.end(), "U"));
    EXPECT_TRUE(h.log.Has("Таймаут при установке связи"));
    EXPECT_TRUE(h.log.Has("Ошибка 7: Невозможно соединиться с регистратором"));
    EXPECT_TRUE(h.engine->RxQueue.empty());
    // Nothing but wake-up bytes went out.
    EXPECT_TRUE(h.line.Commands().empty());
}

TEST(Handshake, SilentPrinterCostsTwoSecondsAndTwoPulses) {
    Harness h;
    h.printer.silent = true;
    EXPECT_EQ(0, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(uint32_t(kErrNoConnection), h.engine->ErrorNumber);
    // about 60 ms wake-up + 1000 ms silence + 3000 ms pulse, twice
    EXPECT_EQ(2u * (60 + 1000 + 3000), h.line.now);
}

TEST(Collection, AnswerInPiecesWithPausesIsCollected) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    std::string reply = DoneReply("CCAS" + std::string(88, '1'));
    h.printer.answer = [&](const std::string&) { return std::string(); };
    h.line.script = [&](ScriptedLine& l, const std::string&) {
        l.Arrive(reply.substr(0, 10), 2000);
        l.Arrive(reply.substr(10, 20), 4000);
        l.Arrive(reply.substr(30), 6000);
    };
    uint64_t before = h.line.now;
    h.engine->SendCommand("CCAS");
    EXPECT_EQ(0u, h.engine->ErrorNumber);
    EXPECT_EQ(std::string(88, '1'), h.engine->CashInfoText);
    EXPECT_EQ(6000u, h.line.now - before);
}

TEST(Collection, SilenceAndStalledReadsEndInError80) {
    struct Case {
        const char* name;
        std::function<void(Harness&)> arrange;
        const char* logLine;
    } cases[] = {
        {"silent printer", [](Harness& h) { h.printer.silent = true; }, "Таймаут чтения от регистратора"},
        {"cut reply",
         [](Harness& h) {
             h.printer.answer = [](const std::string&) { return Block("DONE") + "\xFD" "REA"; };
         },
         "Таймаут чтения от регистратора"},
        {"READY then more",
         [](Harness& h) {
             h.printer.answer = [](const std::string&) { return DoneReply() + "ZZZ"; };
         },
         "Таймаут чтения от регистратора"},
        {"read never completes", [](Harness& h) { h.line.stallReads = 1; },
         "Таймаут чтения от регистратора в ReadFile"},
    };
    for (const auto& c : cases) {
        Harness h;
        ASSERT_EQ(1, h.Connect());
        c.arrange(h);
        h.engine->SendCommand("GLCN");
        EXPECT_EQ(uint32_t(kErrTimeout), h.engine->ErrorNumber) << c.name;
        EXPECT_EQ(1, h.engine->Connected) << c.name;
        EXPECT_TRUE(h.log.Has(c.logLine)) << c.name;
        EXPECT_TRUE(h.engine->RxQueue.empty()) << c.name;
        // Only a reply without DONE keeps the time-out's word.
        const bool sawDone = std::string(c.name) == "cut reply" || std::string(c.name) == "READY then more";
        EXPECT_STREQ(sawDone ? "" : "CONNTIMEOUT", h.engine->ErrorCode) << c.name;
        // The next good exchange clears both.
        h.printer.silent = false;
        h.printer.answer = nullptr;
        h.engine->SendCommand("GLCN");
        EXPECT_EQ(0u, h.engine->ErrorNumber) << c.name;
        EXPECT_STREQ("", h.engine->ErrorCode) << c.name;
    }
}

TEST(Collection, WaitsThatKeepFailingEndLikeSilenceInsteadOfSpinning) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    h.line.failWaits = true;
    h.engine->SendCommand("GLCN");
    EXPECT_EQ(uint32_t(kErrTimeout), h.engine->ErrorNumber);
    EXPECT_EQ(0, h.engine->Handshake());
    EXPECT_EQ(2u, h.line.dtr.size());  // the silence branch: DTR pulse
}

TEST(Collection, ChunksAreConvertedToCp1251UpToAZeroByte) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    std::vector<uint8_t> seen;
    h.printer.answer = [](const std::string&) {
        return Block(std::string("CCAS\x8F\xE0\xA8", 7) + std::string(85, '0')) +
               Block(std::string("A\0\x8F", 3)) + Block("DONE") + ReadyBlock();
    };
    h.engine->SendCommand("CCAS");
    EXPECT_EQ(0, std::memcmp(h.engine->CashInfoText, "\xCF\xF0\xE8", 3));
    // The log shows the converted text.
    EXPECT_NE(std::string::npos, h.log.content.find("Данные ИЗ регистратора: \xFD" "CCAS\xCF\xF0\xE8"));
}

TEST(Collection, LateReplyIsDiscardedBeforeTheNextCommand) {
    // A reply late by 7 s, then 2 s before the next command; the late reply
    // either refused its command or reported data.
    for (std::string late : {ErrorReply("SOFTPAPER"), DoneReply("GETD20240331235958")}) {
        Harness h;
        ASSERT_EQ(1, h.Connect());
        h.printer.answer = [&](const std::string& c) -> std::string {
            if (c == "GETD") h.line.Arrive(late, 7000);
            return c == "GETD" ? "" : DoneReply();
        };
        h.engine->SendCommand("GETD");
        EXPECT_EQ(uint32_t(kErrTimeout), h.engine->ErrorNumber);
        h.line.now += 2000;
        h.engine->SendCommand("KASS");
        EXPECT_EQ(0u, h.engine->ErrorNumber);
        EXPECT_STREQ("", h.engine->ErrorCode);
        EXPECT_STREQ("20100614", h.engine->PrinterDate);  // as the start-up read it
        EXPECT_EQ(0u, h.line.Pending());
        EXPECT_TRUE(h.log.Has("Отброшены данные от регистратора: " + late));
    }
}

TEST(Collection, HalfAReplyIsOwedAndNeverTakenForTheNextCommandsReply) {
    // GETD's reply stops after its data block; its DONE and READY come
    // `restMs` after the command (never, when 0). The next command is sent
    // at once and answered 2 s later: it must get its own reply, not the tail.
    const std::string late = DoneReply("GETD20240331235958");
    const size_t half = Block("GETD20240331235958").size();
    for (uint64_t restMs : {7000u, 9000u, 0u}) {
        SCOPED_TRACE(restMs);
        Harness h;
        ASSERT_EQ(1, h.Connect());
        h.printer.answer = [&](const std::string& c) -> std::string {
            if (c != "GETD") return DoneReply(c == "GLCN" ? "GLCN" + Printer::GlcnData('1', 77) : "");
            if (restMs != 0) h.line.Arrive(late.substr(half), restMs);
            return late.substr(0, half);
        };
        h.engine->SendCommand("GETD");
        EXPECT_EQ(uint32_t(kErrTimeout), h.engine->ErrorNumber);
        const uint64_t sent = h.line.now;
        h.printer.delayMs = 2000;
        h.engine->ReadDocumentNumbers();
        EXPECT_EQ(0u, h.engine->ErrorNumber);
        EXPECT_EQ(77, h.engine->LastClosedCheck());
        EXPECT_EQ(0u, h.line.Pending());
        // The rest was awaited, for no longer than the reply silence.
        EXPECT_LE(h.line.now - sent,
                  uint64_t(PrinterEngine::kReplySilenceMs) + 2000 + PrinterEngine::kLateReplyGraceMs);
        if (restMs == 7000) {
            EXPECT_TRUE(h.log.Has("Отброшены данные от регистратора: " + late.substr(half)));
        }
    }
}

TEST(Collection, AWholeReplyLateByMoreThanTheSilenceIsNotTheNextCommands) {
    // GETD's reply comes 7 s late, after its time-out; the next command was
    // sent at once, and the printer, answering in turn, sends its reply
    // right behind the late one (in the same piece, or a moment later).
    for (uint64_t gapMs : {0u, 20u}) {
        SCOPED_TRACE(gapMs);
        Harness h;
        ASSERT_EQ(1, h.Connect());
        uint64_t lateAt = 0;
        const std::string late = DoneReply("GETD20240331235958");
        h.printer.answer = [&](const std::string& c) -> std::string {
            if (c == "GETD") {
                lateAt = h.line.now + 7000;
                h.line.Arrive(late, 7000);
                return "";
            }
            const std::string own = DoneReply(c == "GLCN" ? "GLCN" + Printer::GlcnData('1', 77) : "");
            h.line.Arrive(own, lateAt - h.line.now + gapMs);
            return "";
        };
        h.engine->SendCommand("GETD");
        EXPECT_EQ(uint32_t(kErrTimeout), h.engine->ErrorNumber);
        h.engine->ReadDocumentNumbers();
        EXPECT_EQ(0u, h.engine->ErrorNumber);
        EXPECT_EQ(77, h.engine->LastClosedCheck());
        EXPECT_STREQ("20100614", h.engine->PrinterDate);  // the late reply's date was not taken
        EXPECT_EQ(0u, h.line.Pending());
        EXPECT_TRUE(h.log.Has("Отброшены данные от регистратора: " + late));
    }
}

TEST(Collection, AWellBehavedExchangeWaitsForNothingMore) {
    Harness h;
    ASSERT_EQ(1, h.Connect());
    h.printer.delayMs = 5;
    const uint64_t before = h.line.now;
    for (int i = 0; i < 3; ++i) h.engine->SendCommand("GLCN");
    EXPECT_EQ(3u * 5, h.line.now - before);
    EXPECT_EQ(3u, h.line.Commands().size());
    EXPECT_FALSE(h.log.Has("Отброшены данные от регистратора: "));
}

TEST(Collection, ALineThatNeverStopsEndsWithItsOwnErrorAndBoundedMemory) {
    // A burst at line speed, and one byte a second: both would keep a
    // silence timer waiting for ever.
    struct Case {
        const char* name;
        std::string bytes;
        uint64_t everyMs;
    } cases[] = {{"burst", std::string(100, '\x55'), 9}, {"trickle", "\x55", 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        ASSERT_EQ(1, h.Connect());
        bool babbling = true;
        h.printer.silent = true;  // all it sends is the noise
        size_t most = 0;
        h.line.onWait = [&](uint32_t) {
            most = std::max(most, h.engine->RxQueue.size());
            if (babbling && h.line.Pending() == 0) h.line.Arrive(c.bytes, c.everyMs);
        };
        const uint64_t before = h.line.now;
        h.engine->SendCommand("GLCN");
        EXPECT_EQ(uint32_t(kErrEndlessReply), h.engine->ErrorNumber);
        EXPECT_STREQ("ENDLESSREPLY", h.engine->ErrorCode);
        EXPECT_LE(h.line.now - before, uint64_t(PrinterEngine::kLongestReplyMs) + 2000);
        EXPECT_LE(most, PrinterEngine::kMaxReplyBytes + 1024);
        EXPECT_TRUE(h.engine->RxQueue.empty());
        // Once the line is quiet again, the printer is heard as before.
        babbling = false;
        h.printer.silent = false;
        h.line.now += 100;
        h.engine->SendCommand("GLCN");
        EXPECT_EQ(0u, h.engine->ErrorNumber);
    }
}

TEST(Handshake, ALineThatNeverStopsIsGivenUpLikeASilentOne) {
    Harness h;
    h.printer.handshakeSilent = true;
    h.line.onWait = [&](uint32_t) {
        if (h.line.Pending() == 0) h.line.Arrive("\x55\x55", 5);
    };
    EXPECT_EQ(0, h.engine->Init(3, "Ivanov", "1234", 0, ""));
    EXPECT_EQ(uint32_t(kErrNoConnection), h.engine->ErrorNumber);
    // Two tries, each bounded, each with its DTR pulse.
    EXPECT_EQ(4u, h.line.dtr.size());
    EXPECT_LE(h.line.now, 2u * (60 + PrinterEngine::kLongestHandshakeMs + 100 + PrinterEngine::kDtrPulseMs));
    EXPECT_TRUE(h.log.Has("E:Регистратор не прекращает передачу при установке связи"));
}

TEST(OpenPort, EachFailingStepHasItsNumberAndClosesThePort) {
    struct Case {
        bool ScriptedLine::*fail;
        uint32_t number;
        const char* logLine;
    } cases[] = {
        {&ScriptedLine::failOpen, 1, "Невозможно открыть порт"},
        {&ScriptedLine::failQueues, 2, "Ошибка настройки буферов порта"},
        {&ScriptedLine::failMask, 3, "Ошибка настройки маски порта"},
        {&ScriptedLine::failGetState, 4, "Невозможно получить состояние порта"},
        {&ScriptedLine::failSetState, 5, "Невозможно установить параметры порта"},
        {&ScriptedLine::failTimeouts, 6, "Невозможно установить таймауты порта"},
    };
    for (const auto& c : cases) {
        Harness h;
        h.line.*(c.fail) = true;
        EXPECT_EQ(0, h.engine->Init(12, "Ivanov", "1234", 0, "")) << c.number;
        EXPECT_EQ(c.number, h.engine->ErrorNumber);
        EXPECT_FALSE(h.line.IsOpen());
        EXPECT_TRUE(h.line.writes.empty());
        EXPECT_TRUE(h.log.Has(c.logLine)) << c.number;
        EXPECT_STREQ(PrinterEngine::ErrorMessage(c.number), h.engine->LastErrorText);
        EXPECT_EQ("\\\\.\\COM12", h.line.opened.back());
        EXPECT_TRUE(h.log.Has("F:OpenPort(12, 115200) Открытие СОМ порта"));
    }
}

TEST(OpenPort, LineSettingsAndBaudRates) {
    Harness h;
    for (auto [asked, set] : {std::pair{9600, 9600u}, {100, 57600u}, {115200, 115200u}, {14400, 14400u}}) {
        h.engine->ClosePort();
        h.engine->OpenPort(3, asked);
        EXPECT_EQ(set, h.line.settings.baudRate);
    }
    const LineSettings& s = h.line.settings;
    EXPECT_TRUE(s.binary && s.parityCheck && s.txContinueOnXoff && s.outX && s.inX && s.abortOnError);
    EXPECT_FALSE(s.outxCtsFlow || s.outxDsrFlow || s.dsrSensitivity || s.errorCharOn || s.nullStrip);
    EXPECT_EQ(DtrControl::Enable, s.dtrControl);
    EXPECT_EQ(RtsControl::Disable, s.rtsControl);
    EXPECT_EQ(768, s.xonLim);
    EXPECT_EQ(32, s.xoffLim);
    EXPECT_EQ(8, s.byteSize);
    EXPECT_EQ(Parity::Even, s.parity);
    EXPECT_EQ(StopBits::Two, s.stopBits);
    EXPECT_EQ(0, s.xonChar);
    EXPECT_EQ(0x13, s.xoffChar);  // as read
    EXPECT_EQ(0x3F, s.errorChar);
    EXPECT_EQ(0, s.eofChar);
    EXPECT_EQ(0, s.evtChar);
    EXPECT_EQ(1024u, h.line.inQueue);
    EXPECT_EQ(1024u, h.line.outQueue);
    EXPECT_EQ(uint32_t(kEventRxChar | kEventTxEmpty), h.line.eventMask);
    EXPECT_EQ(25u, h.line.timeouts.readInterval);
    EXPECT_EQ(1000u, h.line.timeouts.readTotalConstant);
    EXPECT_EQ(0u, h.line.timeouts.readTotalMultiplier + h.line.timeouts.writeTotalConstant +
                      h.line.timeouts.writeTotalMultiplier);
}

TEST(ClosePort, DoneBeforeInitAndTwiceInARow) {
    Harness h;
    EXPECT_EQ(1, h.engine->Done());
    EXPECT_EQ(1, h.engine->Done());
    EXPECT_EQ(0, h.line.closes);
    auto m = h.log.Messages();
    EXPECT_EQ(2, std::count(m.begin(), m.end(), "F:ClosePort() Закрытие СОМ порта"));

    ASSERT_EQ(1, h.Connect());
    EXPECT_EQ(1, h.engine->Done());
    EXPECT_EQ(1, h.line.closes);
    ASSERT_FALSE(h.line.dtr.empty());
    EXPECT_FALSE(h.line.dtr.back().second);  // the printer sees DTR drop
    EXPECT_EQ(0, h.engine->Connected);
    EXPECT_EQ(1, h.engine->LockPrinter(-1));
    EXPECT_EQ(1, h.engine->UnlockPrinter());
}

}  // namespace
}  // namespace brenvik::test
