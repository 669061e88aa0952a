// The POSIX serial line on real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/link/serial_line_posix.h"
#include "pty_pair.h"

namespace brenvik {
namespace {

using test::PtyPair;

// The line settings the engine asks for.
LineSettings PrinterSettings(uint32_t baud) {
    LineSettings s;
    ApplyPrinterLineSettings(s, baud);
    return s;
}

class LinePosix : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(line.Open(pty.slavePath().c_str())) << pty.slavePath();
        ASSERT_TRUE(line.SetQueueSizes(1024, 1024));
        ASSERT_TRUE(line.SetEventMask(kEventRxChar | kEventTxEmpty));
        ASSERT_TRUE(line.SetSettings(PrinterSettings(115200)));
    }

    std::vector<uint8_t> ReadAvailable() {
        std::vector<uint8_t> out;
        const uint32_t n = line.ClearErrors();
        out.resize(n);
        uint32_t got = 0;
        line.Read(out.data(), n, 1000, got);
        out.resize(got);
        return out;
    }

    PtyPair pty;
    PosixSerialLine line;
};

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

int64_t WallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TEST_F(LinePosix, PrinterSettingsReachTheTerminal) {
    termios t{};
    ASSERT_EQ(0, tcgetattr(pty.slave(), &t));
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(0u, t.c_oflag & OPOST);
    EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
    // A pseudo-terminal drops PARENB (it has no character framing); even
    // parity can only be seen on a real port.
    EXPECT_EQ(0u, t.c_cflag & PARODD);
    EXPECT_NE(0u, t.c_cflag & CSTOPB);
    EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL), t.c_cflag & (CREAD | CLOCAL));
    // IXANY: with the XON character 0 (no START character in termios) any
    // received byte restarts output.
    EXPECT_EQ(static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK), t.c_iflag & (IXON | IXOFF | INPCK | IXANY));
    EXPECT_EQ(0u, t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP));
    EXPECT_EQ(0, t.c_cc[VSTART]);
    EXPECT_EQ(0x13, t.c_cc[VSTOP]);
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&t));

    LineSettings back;
    ASSERT_TRUE(line.GetSettings(back));
    EXPECT_EQ(115200u, back.baudRate);
    EXPECT_TRUE(back.parityCheck);
    EXPECT_TRUE(back.outX);
    EXPECT_TRUE(back.inX);
    EXPECT_EQ(8, back.byteSize);
    EXPECT_EQ(StopBits::Two, back.stopBits);
    EXPECT_EQ(0, back.xonChar);
    EXPECT_EQ(0x13, back.xoffChar);
    // Fields termios has no room for read back as they were set.
    EXPECT_EQ(768, back.xonLim);
    EXPECT_EQ(32, back.xoffLim);
    EXPECT_EQ(DtrControl::Enable, back.dtrControl);
}

TEST_F(LinePosix, BaudRatesOfThePrinterList) {
    struct Case {
        uint32_t rate;
        bool accepted;
        speed_t constant;
    };
    const Case cases[] = {
        {1200, true, B1200},   {2400, true, B2400},   {4800, true, B4800},     {9600, true, B9600},
        {14400, true, B0},     {19200, true, B19200}, {38400, true, B38400},   {56000, true, B0},
        {57600, true, B57600}, {115200, true, B115200}, {100, false, B0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        ASSERT_TRUE(line.SetSettings(PrinterSettings(115200))) << line.LastError();
        EXPECT_EQ(c.accepted, line.SetSettings(PrinterSettings(c.rate)));
        termios t{};
        ASSERT_EQ(0, tcgetattr(pty.slave(), &t));
        // 14400 and 56000 have no constant (B0 here): termios2 carries them.
        if (c.constant != B0 || !c.accepted) {
            EXPECT_EQ(c.accepted ? c.constant : static_cast<speed_t>(B115200), cfgetospeed(&t));
        }
        LineSettings back;
        ASSERT_TRUE(line.GetSettings(back));
        EXPECT_EQ(c.accepted ? c.rate : 115200u, back.baudRate);
    }
}

TEST_F(LinePosix, StopBitsReadBackAndUnsupportedFramingIsRefused) {
    // Parity and character size do not survive on a pseudo-terminal (it
    // reports CS8 without parity); stop bits do.
    for (StopBits stop : {StopBits::One, StopBits::Two}) {
        LineSettings s = PrinterSettings(9600);
        s.stopBits = stop;
        ASSERT_TRUE(line.SetSettings(s));
        LineSettings back;
        ASSERT_TRUE(line.GetSettings(back));
        EXPECT_EQ(stop, back.stopBits);
    }
    LineSettings bad = PrinterSettings(9600);
    bad.stopBits = StopBits::OneAndHalf;
    EXPECT_FALSE(line.SetSettings(bad));
    bad = PrinterSettings(9600);
    bad.byteSize = 9;
    EXPECT_FALSE(line.SetSettings(bad));
    LineSettings back;
    ASSERT_TRUE(line.GetSettings(back));
    EXPECT_EQ(9600u, back.baudRate);
}

TEST_F(LinePosix, PortHeldByAnotherOpenerCannotBeOpened) {
    PosixSerialLine second;
    EXPECT_FALSE(second.Open(pty.slavePath().c_str()));
    EXPECT_FALSE(second.IsOpen());
    line.Close();
    EXPECT_TRUE(second.Open(pty.slavePath().c_str()));
    EXPECT_FALSE(line.Open(pty.slavePath().c_str()));
}

TEST(LinePosixOpen, RefusesWhatIsNotATerminal) {
    PosixSerialLine line;
    EXPECT_FALSE(line.Open("/dev/null"));
    EXPECT_FALSE(line.Open("/nonexistent/port"));
    EXPECT_FALSE(line.Open("COM1"));
    EXPECT_FALSE(line.Open(""));
    EXPECT_FALSE(line.IsOpen());
    // Calls on a closed line do nothing and report failure.
    LineSettings s;
    EXPECT_FALSE(line.GetSettings(s));
    EXPECT_FALSE(line.SetSettings(PrinterSettings(115200)));
    EXPECT_EQ(0u, line.ClearErrors());
    uint32_t events = 1;
    EXPECT_EQ(WaitStatus::Failed, line.WaitEvent(10, events));
    EXPECT_EQ(0u, events);
    line.Write(reinterpret_cast<const uint8_t*>("x"), 1);
    line.Purge();
    line.Close();
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

TEST(LinePosixNames, ComNamesMapToPortsDirectoryOrTtyS) {
    char dirTemplate[] = "/tmp/brenvik-ports-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dirTemplate));
    const std::string dir = dirTemplate;
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(0, symlink(pty.slavePath().c_str(), (dir + "/com5").c_str()));
    ASSERT_EQ(0, symlink(pty.slavePath().c_str(), (dir + "/com12").c_str()));

    struct Case {
        const char* name;
        std::string expected;
    };
    {
        ScopedEnv env("BRENVIK_PORTS_DIR", dir);
        const Case cases[] = {
            {"\\\\.\\COM5", dir + "/com5"},      {"\\\\.\\COM12", dir + "/com12"},
            {"\\\\.\\com5", dir + "/com5"},      {"\\\\.\\COM3", "/dev/ttyS2"},
            {"\\\\.\\COM1", "/dev/ttyS0"},       {"\\\\.\\COM0", ""},
            {"\\\\.\\COM", ""},                  {"\\\\.\\COM5x", ""},
            {"\\\\.\\COM-5", ""},                {"COM5", ""},
            {"\\\\.\\LPT1", ""},                 {"/dev/ttyUSB0", "/dev/ttyUSB0"},
            {"\\\\.\\COM99999999999999999", ""},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(c.expected, PosixSerialLine::ResolvePortName(c.name)) << c.name;
        }
        PosixSerialLine line;
        EXPECT_TRUE(line.Open("\\\\.\\COM12"));
        // COM5 links to the same terminal, which COM12 now holds.
        PosixSerialLine other;
        EXPECT_FALSE(other.Open("\\\\.\\COM5"));
    }
    EXPECT_EQ("/dev/ttyS4", PosixSerialLine::ResolvePortName("\\\\.\\COM5"));
    unlink((dir + "/com5").c_str());
    unlink((dir + "/com12").c_str());
    rmdir(dir.c_str());
}

TEST_F(LinePosix, SilentLineTimesOutWithoutBurningCpu) {
    uint32_t events = 99;
    const double cpu0 = CpuMs();
    const int64_t wall0 = WallMs();
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(300, events));
    const int64_t wall = WallMs() - wall0;
    const double cpu = CpuMs() - cpu0;
    EXPECT_EQ(0u, events);
    EXPECT_GE(wall, 295);
    EXPECT_LT(wall, 1000);
    EXPECT_LT(cpu, 20.0);
}

TEST_F(LinePosix, HungUpLineSleepsOutTheWait) {
    // The far end closes: the terminal polls as permanently ready, which must
    // not turn into a spinning wait or a stream of empty events.
    pty.CloseMaster();
    for (int round = 0; round < 2; ++round) {
        uint32_t events = 99;
        const double cpu0 = CpuMs();
        const int64_t wall0 = WallMs();
        EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(300, events));
        const int64_t wall = WallMs() - wall0;
        EXPECT_EQ(0u, events);
        EXPECT_GE(wall, 295);
        EXPECT_LT(CpuMs() - cpu0, 20.0);
    }
    EXPECT_EQ(0u, line.ClearErrors());
    uint8_t buffer[8];
    uint32_t got = 9;
    EXPECT_NE(WaitStatus::Signalled, line.Read(buffer, sizeof(buffer), 100, got));
    EXPECT_EQ(0u, got);
    line.Write(buffer, 1);  // goes nowhere, harms nothing
}

TEST_F(LinePosix, ReceivedBytesSignalAndReadInChunks) {
    pty.Send("READY?");
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    EXPECT_EQ(kEventRxChar, events);
    EXPECT_EQ(6u, line.ClearErrors());
    uint8_t buffer[16] = {};
    uint32_t got = 0;
    EXPECT_EQ(WaitStatus::Signalled, line.Read(buffer, 4, 1000, got));
    EXPECT_EQ(4u, got);
    EXPECT_EQ(0, memcmp(buffer, "READ", 4));
    // More asked for than will come: the partial count after the time-out.
    EXPECT_EQ(WaitStatus::TimedOut, line.Read(buffer, 10, 100, got));
    EXPECT_EQ(2u, got);
    EXPECT_EQ(0, memcmp(buffer, "Y?", 2));

    // A read that completes from pieces arriving while it waits.
    std::thread peer([this] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            pty.Send(piece);
        }
    });
    EXPECT_EQ(WaitStatus::Signalled, line.Read(buffer, 6, 2000, got));
    peer.join();
    EXPECT_EQ(6u, got);
    EXPECT_EQ(0, memcmp(buffer, "abcdef", 6));
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
}

// With parity checked the terminal marks a byte received with a parity
// error (0xFF 0x00 byte) instead of turning it into 0x00, and doubles a
// received 0xFF; the line undoes both, also across two reads.
TEST(LinePosixParity, MarkedBytesComeOutAsReceived) {
    const struct {
        std::vector<std::vector<uint8_t>> reads;
        std::vector<uint8_t> kept;
    } cases[] = {
        {{{'A', 0xFF, 0x00, 0xC1, 'B'}}, {'A', 0xC1, 'B'}},  // a byte with an error keeps its value
        {{{0xFF, 0xFF, 'x'}}, {0xFF, 'x'}},                  // a received 0xFF
        {{{'a', 0xFF}, {0x00, 0x8F, 'b'}}, {'a', 0x8F, 'b'}},  // a mark split between reads
        {{{0xFF}, {0xFF}}, {0xFF}},
        {{{0xFF, 0x00, 0x00}}, {0x00}},                      // a break
    };
    for (const auto& c : cases) {
        uint8_t state = 0;
        std::vector<uint8_t> kept;
        for (std::vector<uint8_t> read : c.reads) {
            const uint32_t n = UnmarkLineErrors(read.data(), static_cast<uint32_t>(read.size()), state);
            kept.insert(kept.end(), read.begin(), read.begin() + n);
        }
        EXPECT_EQ(c.kept, kept);
    }
}

TEST_F(LinePosix, ReceivedFFIsNotDoubledByParityMarking) {
    pty.Send(std::vector<uint8_t>{0xFD, 0xFF, 'R', 0xFE});
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ((std::vector<uint8_t>{0xFD, 0xFF, 'R', 0xFE}), ReadAvailable());
}

TEST_F(LinePosix, InputCountIsBoundedByTheQueueSize) {
    pty.Send(std::vector<uint8_t>(1500, 'x'));
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1024u, line.ClearErrors());
    EXPECT_EQ(1024u, ReadAvailable().size());
    EXPECT_EQ(476u, ReadAvailable().size());
}

TEST_F(LinePosix, TxEmptyOnceAfterEachWrite) {
    const uint8_t block[] = {0xFD, 'C', 'N', 'A', 'L', 0x05, 0xFE};
    line.Write(block, sizeof(block));
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    EXPECT_EQ(kEventTxEmpty, events);
    EXPECT_EQ(std::vector<uint8_t>(block, block + sizeof(block)), pty.Receive(sizeof(block), 1000));
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
    EXPECT_EQ(0u, events);

    // Without TX-empty in the mask a write raises no event.
    ASSERT_TRUE(line.SetEventMask(kEventRxChar));
    line.Write(block, sizeof(block));
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
    pty.Receive(sizeof(block), 1000);

    // Purge drops the owed event together with the queues.
    ASSERT_TRUE(line.SetEventMask(kEventRxChar | kEventTxEmpty));
    line.Write(block, sizeof(block));
    line.Purge();
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
}

TEST_F(LinePosix, PurgeEmptiesTheInputQueue) {
    pty.Send("stale bytes");
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    line.Purge();
    EXPECT_EQ(0u, line.ClearErrors());
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
}

// XON/XOFF with the XON character 0: a received 0x13 is taken out of the
// input, a received 0x00 is not (termios reads 0 as "no START character").
// These are the length bytes of blocks with 18 and 255 characters of text.
TEST_F(LinePosix, FlowControlBytesInReplies) {
    std::vector<uint8_t> block18 = {0xFD};
    for (int i = 0; i < 18; ++i) block18.push_back(static_cast<uint8_t>('0' + i % 10));
    block18.push_back(0x13);
    block18.push_back(0xFE);
    pty.Send(block18);
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<uint8_t> expected(block18);
    expected.erase(expected.end() - 2);
    EXPECT_EQ(expected, ReadAvailable());

    // The swallowed 0x13 stopped our output, the 0xFE after it restarted it:
    // the next command leaves.
    const uint8_t ups[] = {'U', 'U'};
    line.Write(ups, sizeof(ups));
    EXPECT_EQ(std::vector<uint8_t>(ups, ups + 2), pty.Receive(2, 1000));
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    EXPECT_EQ(kEventTxEmpty, events);

    std::vector<uint8_t> block255 = {0xFD};
    block255.insert(block255.end(), 255, 'a');
    block255.push_back(0x00);
    block255.push_back(0xFE);
    pty.Send(block255);
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(block255, ReadAvailable());
}

TEST_F(LinePosix, XoffFromThePeerHoldsOutputUntilItsXon) {
    pty.Send(std::vector<uint8_t>{0x13});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint8_t block[] = {0xFD, 'G', 'L', 'C', 'N', 0x05, 0xFE};
    line.Write(block, sizeof(block));
    EXPECT_TRUE(pty.Receive(1, 100).empty());
    uint32_t events = 0;
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));  // TX-empty not yet
    pty.Send(std::vector<uint8_t>{0x00});                            // the printer's XON
    // The held bytes leave while the engine waits for the answer.
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    EXPECT_NE(0u, events & kEventTxEmpty);
    EXPECT_EQ(std::vector<uint8_t>(block, block + sizeof(block)), pty.Receive(sizeof(block), 1000));
}

TEST_F(LinePosix, WithoutFlowControlEveryByteArrives) {
    LineSettings s = PrinterSettings(115200);
    s.outX = false;
    s.inX = false;
    ASSERT_TRUE(line.SetSettings(s));
    const std::vector<uint8_t> bytes = {0xFD, 'A', 0x13, 0x00, 0x11, 0xFE};
    pty.Send(bytes);
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bytes, ReadAvailable());
}

TEST_F(LinePosix, WriteBeyondTheDriverQueueIsKeptAndSentLater) {
    // More than the terminal takes at once: nothing written may be lost, and
    // TX-empty waits until the last byte has really left.
    std::vector<uint8_t> big(300000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>('a' + i % 26);
    line.Write(big.data(), static_cast<uint32_t>(big.size()));
    std::vector<uint8_t> seen;
    std::thread peer([this, &seen, &big] { seen = pty.Receive(big.size(), 5000); });
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(5000, events));
    EXPECT_EQ(kEventTxEmpty, events);
    peer.join();
    EXPECT_EQ(big.size(), seen.size());
    EXPECT_TRUE(big == seen);
}

// ClearErrors takes the waiting bytes off the terminal; until Read hands
// them out they still count as waiting and still raise the event.
TEST_F(LinePosix, BytesTakenByClearErrorsStillCountAndSignal) {
    pty.Send("ABCDEF");
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(1000, events));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(6u, line.ClearErrors());
    EXPECT_EQ(6u, line.ClearErrors());  // asking again loses nothing

    uint8_t buffer[16] = {};
    uint32_t got = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.Read(buffer, 2, 1000, got));
    EXPECT_EQ(0, memcmp(buffer, "AB", 2));
    // The rest is already ours: signalled at once, not after the time-out.
    const int64_t wall0 = WallMs();
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(5000, events));
    EXPECT_LT(WallMs() - wall0, 1000);
    EXPECT_EQ(kEventRxChar, events);

    // Bytes that arrive later join the count behind the kept ones, and a
    // read spanning both returns them in order.
    pty.Send("GH");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(6u, line.ClearErrors());
    ASSERT_EQ(WaitStatus::Signalled, line.Read(buffer, 6, 1000, got));
    EXPECT_EQ(6u, got);
    EXPECT_EQ(0, memcmp(buffer, "CDEFGH", 6));
    EXPECT_EQ(0u, line.ClearErrors());
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
    EXPECT_EQ(0u, events);

    // A read for more than is kept takes the kept bytes first, then waits
    // for the rest from the terminal.
    pty.Send("12");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(2u, line.ClearErrors());
    std::thread peer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.Send("345");
    });
    EXPECT_EQ(WaitStatus::Signalled, line.Read(buffer, 5, 2000, got));
    peer.join();
    EXPECT_EQ(5u, got);
    EXPECT_EQ(0, memcmp(buffer, "12345", 5));
}

TEST_F(LinePosix, KeptBytesAreBoundedPurgedAndDroppedOnClose) {
    ASSERT_TRUE(line.SetQueueSizes(16, 16));
    pty.Send(std::vector<uint8_t>(40, 'q'));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(16u, line.ClearErrors());
    EXPECT_EQ(16u, line.ClearErrors());
    EXPECT_EQ(16u, ReadAvailable().size());
    EXPECT_EQ(16u, ReadAvailable().size());
    EXPECT_EQ(8u, ReadAvailable().size());

    pty.Send("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(5u, line.ClearErrors());
    line.Purge();
    EXPECT_EQ(0u, line.ClearErrors());
    uint32_t events = 0;
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));

    pty.Send("old");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(3u, line.ClearErrors());
    line.Close();
    ASSERT_TRUE(line.Open(pty.slavePath().c_str()));
    ASSERT_TRUE(line.SetEventMask(kEventRxChar | kEventTxEmpty));
    EXPECT_EQ(0u, line.ClearErrors());
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(50, events));
}

// The far end hangs up after a reply: what had arrived is still handed out,
// then the line goes quiet as a hung-up line does.
TEST_F(LinePosix, KeptBytesOutliveAHangUp) {
    pty.Send("READY");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(5u, line.ClearErrors());
    pty.CloseMaster();
    uint32_t events = 0;
    ASSERT_EQ(WaitStatus::Signalled, line.WaitEvent(300, events));
    EXPECT_EQ(kEventRxChar, events);
    EXPECT_EQ(std::vector<uint8_t>({'R', 'E', 'A', 'D', 'Y'}), ReadAvailable());
    const double cpu0 = CpuMs();
    EXPECT_EQ(WaitStatus::TimedOut, line.WaitEvent(300, events));
    EXPECT_EQ(0u, events);
    EXPECT_LT(CpuMs() - cpu0, 20.0);
    EXPECT_EQ(0u, line.ClearErrors());
}

}  // namespace
}  // namespace brenvik
