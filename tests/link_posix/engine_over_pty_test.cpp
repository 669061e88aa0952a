// The real engine over the POSIX back ends, against a printer played on the
// master side of a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/diagnostics/log_file_posix.h"
#include "engine/link/serial_line_posix.h"
#include "engine/printer_engine.h"
#include "pty_pair.h"

namespace brenvik {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Block(const std::string& text) {
    Bytes b;
    b.reserve(text.size() + 3);
    b.push_back(0xFD);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(static_cast<uint8_t>((text.size() + 1) % 256));
    b.push_back(0xFE);
    return b;
}

std::string ConfigText() {
    std::string t = "CONf";
    t += "1234567890";           // serial number
    t += "0987654321";           // fiscal number
    t += std::string(36, 'O');   // owner
    t += "20260101120000";       // clock
    t += "1";                    // key position
    t += "000000";               // not used
    t += std::string(13, '0');   // not used
    t += "000000000042";         // check number
    t += "0000";                 // not used
    t += "vTTs";                 // printer variant
    t += "20040101";             // firmware date: not T3+
    t += std::string(18, '0');   // not used
    t += "20260101" "2" "UAH";   // currency record
    return t;
}

// Answers the wake-up bytes with READY and each command block with its data
// block (if any), DONE and READY, as the printer does.
class PrinterPeer {
public:
    explicit PrinterPeer(test::PtyPair& pty) : pty_(pty), thread_([this] { Run(); }) {}
    ~PrinterPeer() {
        stop_ = true;
        thread_.join();
    }

    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    int WakeBytes() const { return wakeBytes_; }

private:
    void Run() {
        Bytes buffer;
        auto wakeDue = std::chrono::steady_clock::time_point::max();
        while (!stop_) {
            pollfd p{pty_.master(), POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN) != 0) {
                uint8_t chunk[512];
                const ssize_t n = read(pty_.master(), chunk, sizeof chunk);
                if (n > 0) buffer.insert(buffer.end(), chunk, chunk + n);
            }
            while (!buffer.empty()) {
                if (buffer[0] == 'U') {
                    buffer.erase(buffer.begin());
                    ++wakeBytes_;
                    wakeDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(80);
                } else if (buffer[0] == 0xFD) {
                    size_t end = 1;
                    while (end < buffer.size() && buffer[end] != 0xFE) ++end;
                    if (end >= buffer.size()) break;
                    const std::string text(buffer.begin() + 1, buffer.begin() + static_cast<long>(end) - 1);
                    buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(end) + 1);
                    Answer(text.substr(0, 4));
                } else {
                    buffer.erase(buffer.begin());
                }
            }
            if (std::chrono::steady_clock::now() >= wakeDue) {
                wakeDue = std::chrono::steady_clock::time_point::max();
                pty_.Send(Block("READY"));
            }
        }
    }

    void Answer(const std::string& word) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(word);
        }
        Bytes reply;
        if (word == "CONf") reply = Block(ConfigText());
        // 18 characters: the length byte is 0x13, the XOFF character.
        if (word == "GLCN") reply = Block("GLCN00000000420000");
        if (word == "CNAL") reply = Block("CNAL" "20260101012000" "20260101010700" + std::string(6 * 14, '0'));
        for (const char* tail : {"DONE", "READY"}) {
            const Bytes b = Block(tail);
            reply.insert(reply.end(), b.begin(), b.end());
        }
        pty_.Send(reply);
    }

    test::PtyPair& pty_;
    std::atomic<bool> stop_{false};
    std::atomic<int> wakeBytes_{0};
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

class EngineOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        char dirTemplate[] = "/tmp/brenvik-engine-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dirTemplate));
        dir = dirTemplate;
        ASSERT_EQ(0, symlink(pty.slavePath().c_str(), (dir + "/com7").c_str()));
        setenv("BRENVIK_PORTS_DIR", dir.c_str(), 1);
        platform.line = &line;
        platform.log = &log;
        platform.clock = &clock;
        platform.dialog = nullptr;
        platform.logDirectory = dir;
        platform.pathSeparator = '/';
    }
    void TearDown() override {
        unsetenv("BRENVIK_PORTS_DIR");
        unlink((dir + "/com7").c_str());
        unlink((dir + "/Pelmora.log").c_str());
        rmdir(dir.c_str());
    }
    std::string LogText() {
        std::ifstream in(dir + "/Pelmora.log", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    test::PtyPair pty;
    PosixSerialLine line;
    PosixLogFile log;
    PosixClock clock;
    EnginePlatform platform;
    std::string dir;
};

TEST_F(EngineOverPty, InitReachesThePrinterAndDoneReleasesThePort) {
    PrinterPeer peer(pty);
    PrinterEngine engine(platform);
    engine.SetShowErrorMessages(0);

    ASSERT_EQ(1, engine.Init(7, "CASHIER", "0000", 0, ""));
    EXPECT_EQ(1, engine.Connected);
    EXPECT_EQ(0u, engine.ErrorNumber);
    EXPECT_EQ(5, peer.WakeBytes());
    EXPECT_STREQ("1234567890", engine.SerialNumber);
    EXPECT_STREQ("20040101", engine.FirmwareDate);
    EXPECT_EQ(0, engine.CONfReplyBad);
    // UPAS went out after the GLCN reply whose length byte was an XOFF.
    const std::vector<std::string> expected = {"CONf", "GLCN", "CNAL", "UPAS"};
    EXPECT_EQ(expected, peer.Commands());

    PosixSerialLine other;
    EXPECT_FALSE(other.Open(pty.slavePath().c_str())) << "the engine holds the port";
    EXPECT_EQ(1, engine.Done());
    EXPECT_FALSE(line.IsOpen());
    EXPECT_TRUE(other.Open(pty.slavePath().c_str())) << "Done released the port";
    other.Close();

    // Second Init on the same engine: closes, reopens, handshakes again.
    ASSERT_EQ(1, engine.Init(7, "CASHIER", "0000", 0, ""));
    EXPECT_EQ(10, peer.WakeBytes());
    EXPECT_EQ(1, engine.Done());

    const std::string text = LogText();
    // "Связь успешно установлена" in code page 1251
    EXPECT_NE(std::string::npos, text.find("\xD1\xE2\xFF\xE7\xFC \xF3\xF1\xEF\xE5\xF8\xED\xEE "
                                           "\xF3\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED\xE0"));
}

TEST_F(EngineOverPty, MissingPortIsErrorOne) {
    PrinterEngine engine(platform);
    engine.SetShowErrorMessages(0);
    EXPECT_EQ(0, engine.Init(99, "CASHIER", "0000", 0, ""));  // no com99 here, no /dev/ttyS98
    EXPECT_EQ(1u, engine.ErrorNumber);
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(1, engine.Done());
}

}  // namespace
}  // namespace brenvik
