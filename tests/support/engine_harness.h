// Test doubles for the engine's platform pieces and a harness that wires
// them into a PrinterEngine. Nothing here sleeps: the scripted line keeps a
// virtual clock that its waits advance.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/printer_engine.h"

namespace brenvik::test {

// 0xFD text length 0xFE, the printer's block.
std::string Block(const std::string& text);
// The usual end of every reply.
std::string ReadyBlock();
// data blocks (if any), then DONE, then READY.
std::string DoneReply(const std::string& data = "");
// error-word block instead of DONE, then READY.
std::string ErrorReply(const std::string& word, const std::string& data = "");

// The command text inside a block the engine wrote (start, length and end
// bytes removed); empty when `bytes` is not a block.
std::string Unframe(const std::string& bytes);

class ScriptedLine : public SerialLine {
public:
    // Called for every Write with the bytes written; the script answers by
    // calling Arrive(). The default script is a working printer (see Printer).
    std::function<void(ScriptedLine&, const std::string&)> script;

    // Bytes that reach the engine's input queue `afterMs` from now.
    void Arrive(const std::string& bytes, uint64_t afterMs = 1);

    // What the engine did.
    std::vector<std::string> writes;              // every Write, whole
    std::vector<std::pair<uint64_t, bool>> dtr;   // (virtual ms, raised)
    std::vector<std::string> opened;              // names passed to Open
    LineSettings settings;                        // last SetSettings
    LineTimeouts timeouts;                        // last SetTimeouts
    uint32_t eventMask = 0;
    uint32_t inQueue = 0, outQueue = 0;
    int purges = 0;
    int closes = 0;
    uint64_t now = 0;  // virtual milliseconds

    // Failure switches for the port-opening steps and for reads.
    bool failOpen = false, failQueues = false, failMask = false, failGetState = false,
         failSetState = false, failTimeouts = false;
    int stallReads = 0;  // the next N reads never complete
    bool failWaits = false;  // every wait for an event fails at once
    std::function<void(uint32_t timeoutMs)> onWait;  // called as each wait begins
    bool txEmptyEvents = true;

    // Command texts of the blocks written (handshake bytes left out).
    std::vector<std::string> Commands() const;
    size_t Pending() const;

    bool Open(const char* name) override;
    bool IsOpen() const override { return open_; }
    bool SetQueueSizes(uint32_t in, uint32_t out) override;
    bool SetEventMask(uint32_t events) override;
    bool GetSettings(LineSettings& s) override;
    bool SetSettings(const LineSettings& s) override;
    bool SetTimeouts(const LineTimeouts& t) override;
    void Purge() override;
    void SetDtr(bool raised) override;
    uint32_t ClearErrors() override;
    void Write(const uint8_t* data, uint32_t count) override;
    WaitStatus WaitEvent(uint32_t timeoutMs, uint32_t& events) override;
    WaitStatus Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) override;
    void Sleep(uint32_t ms) override { now += ms; }
    uint64_t NowMs() override { return now; }
    void Close() override;

private:
    struct Chunk {
        uint64_t at;
        std::string bytes;
    };
    uint32_t Available() const;
    bool open_ = false;
    bool txEmptyPending_ = false;
    std::deque<Chunk> arrivals_;
};

// A scripted printer that answers the handshake and every command; tests
// change `replies` (by command word: "CONf", "GLCN", "FISC"...) or `answer`.
class Printer {
public:
    explicit Printer(ScriptedLine& line);
    // Full reply bytes for a command word; missing words get DoneReply().
    std::map<std::string, std::string> replies;
    // When set, decides the reply for a command text (printer code page).
    std::function<std::string(const std::string& command)> answer;
    bool silent = false;          // answers nothing at all
    bool handshakeSilent = false; // ignores wake-up bytes
    std::string readyAnswer;      // the bytes answering five 'U's
    uint64_t delayMs = 1;
    // Without replies["COMP"] / replies["GLCN"], a COMP closes check
    // lastCheck + 1 and answers with its sums, and GLCN reports lastCheck.
    int lastCheck = 42;

    // A well-formed CONf text of 153 characters (length byte included in
    // the count) with the given firmware date and variant.
    static std::string ConfData(const std::string& firmwareDate = "20050208",
                                const std::string& variant = "vMTM", char keyPosition = '1');
    static std::string GlcnData(char articleMode = '1', int lastCheck = 42);
    // The COMP data block of a closed check: its number and the total.
    static std::string CompData(int checkNumber, uint32_t total = 0);
    static std::string CnalData();  // taxes 1 to 3 programmed, 4 to 8 empty

private:
    void OnWrite(ScriptedLine& line, const std::string& bytes);
    int us_ = 0;
};

// In-memory debug log.
class MemoryLog : public LogFile {
public:
    std::string content;       // everything appended to the current file
    std::string archived;      // the file as it was when renamed
    std::vector<std::pair<std::string, std::string>> renames;
    std::vector<std::string> openedPaths;
    uint32_t initialSize = 0;  // size the file has before anything is appended
    bool failOpen = false;
    std::map<std::string, std::string> files;  // other files by path: the archives

    bool Open(const char* path, bool shareWrite) override;
    uint32_t Size() override;
    void Append(const char* data, size_t count) override;
    void Close() override { open_ = false; }
    bool Rename(const char* from, const char* to) override;
    bool List(const char* directory, std::vector<std::string>& names) override;
    bool Remove(const char* path) override;

    // Lines of `content` with the 20-character time stamps removed.
    std::vector<std::string> Messages() const;
    bool Has(const std::string& message) const;

private:
    bool open_ = false;
};

class FixedClock : public Clock {
public:
    LocalTime time{2010, 3, 5, 14, 3, 9};
    LocalTime Now() override { return time; }
};

class RecordingDialog : public MessageDialog {
public:
    struct Shown {
        std::string text, caption;
        uint32_t style;
    };
    std::vector<Shown> shown;
    void Show(const char* text, const char* caption, uint32_t style) override {
        shown.push_back({text, caption, style});
    }
};

// The pieces wired as an engine takes them, logging into "/logs".
EnginePlatform ScriptedPlatform(SerialLine& line, LogFile& log, Clock& clock, MessageDialog& dialog);

// An engine on scripted pieces. `printer` answers like a working printer.
struct Harness {
    ScriptedLine line;
    MemoryLog log;
    FixedClock clock;
    RecordingDialog dialog;
    Printer printer{line};
    std::unique_ptr<PrinterEngine> engine;

    Harness();
    // Init on port 3 with cashier "Ivanov"/"1234"; returns Init's result and
    // forgets what the start-up wrote, so a test sees only its own traffic.
    int32_t Connect();
    void Forget();
};

}  // namespace brenvik::test
