// m301sim: a substitute Maria 301 MTM fiscal printer.
//
// Two pieces:
//   - Printer: the printer itself, without a line. Feed it the bytes that
//     arrive on the wire; it answers with the bytes it sends back (wake-up,
//     blocks, DONE, error words, data replies, READY). It keeps the check,
//     the day registers, the cash, the counters and its fiscal memory, prints
//     to a journal and takes fault-injection commands.
//   - PtyPrinter: runs a Printer on a pseudo-terminal (or a real serial
//     device) in a background thread, with an optional control socket.
//
// Texts: configuration and journal texts are UTF-8; on the wire the printer
// uses its own code page (cp866 letters; the engine sends the small Ukrainian
// i as a Latin I). Money is in kopecks.
//
// Thread safety: every public method of Printer takes an internal lock, so a
// test may call Control() or StateJson() while a PtyPrinter drives the same
// Printer from its thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace m301sim {

// One tax slot of the printer's tax table.
struct TaxRate {
    bool programmed = false;
    std::string date = "00000000";  // YYYYMMDD, from when the rate applies
    // '0' included in the price (VAT), '1' on-sale: added on top of the
    // price, '2' sale-included: counted on the price, included in it.
    char kind = '0';
    int rate = 0;  // hundredths of a percent: 2000 is 20.00 %
};

struct Config {
    // Identity (kept in the state file once it exists).
    std::string serialNumber = "4000012345";  // 10 characters
    std::string fiscalNumber = "3000054321";  // 10 characters
    std::string taxNumber = "123456789012";   // 12 digits
    std::string owner = "ТОВ \"Демо-Маркет\"";  // UTF-8, at most 36 characters
    std::string firmwareDate = "20050208";    // "20050208" is the T3+ firmware
    std::string variant = "vMTM";             // 4 characters; "vTTs" = narrow
    std::string currencyName = "ГРН";         // UTF-8, 3 characters
    int articleMode = 1;                      // 0, 1 or 2 (long article numbers)
    bool fiscalized = true;
    TaxRate taxes[8] = {
        {true, "20240101", '0', 2000},  // А 20.00 %
        {true, "20240101", '0', 700},   // Б 7.00 %
        {true, "20240101", '0', 0},     // В 0.00 %
        {}, {}, {}, {}, {}};
    // Run-time settings.
    int confLength = 153;        // CONf reply: text + length byte (153 or 165)
    int keyPosition = 1;         // 1 work, 2 X-report, 4 Z-report, 8 programming, 0 off
    std::string password;        // cashier password UPAS must start with; empty = any
    bool guardFlowControl = true;  // pad texts whose length byte would be 0x11 or 0x13
    unsigned printDelayMs = 0;   // delay per printed line before the reply
};

// Parses "20.00", "20.00:1", "7:0", "off" into a tax slot; false on nonsense.
bool ParseTaxRate(const std::string& text, TaxRate& out);

// Code page helpers (UTF-8 <-> the printer's code page).
std::string ToPrinterText(const std::string& utf8);
std::string FromPrinterText(const std::string& printerBytes);
// Frames a command text (already in the printer's code page) as one block:
// 0xFD, text, length byte, 0xFE.
std::string Frame(const std::string& text);

// A piece of what the printer sends, with the pause before it.
struct Chunk {
    std::string bytes;
    unsigned delayMs = 0;
};
using Reply = std::vector<Chunk>;
std::string Flatten(const Reply& reply);

class Printer {
public:
    explicit Printer(const Config& config = Config());
    ~Printer();
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    // Bytes from the line in, bytes to the line out. A block split over
    // several calls is answered when its end byte arrives.
    Reply Feed(const std::string& bytes);
    // Frames `text` (printer code page), feeds it and returns the flat reply.
    std::string Command(const std::string& text);
    // Time passes on the line: a block whose next byte has not come for 2 s
    // is refused with SOFTTXTOUT (its reply is returned) and dropped. A line
    // calls it when MsUntilPoll() has run out; -1 means nothing is waiting.
    Reply Poll();
    long MsUntilPoll() const;
    // Monotonic time source for the receive time-out (tests pin it).
    void SetTicks(std::function<std::chrono::steady_clock::time_point()> now);

    // A fault-injection or control command, as on the control socket:
    // "next silent", "next cut N", "next cut-end N", "next split PARTS MS",
    // "next delay MS", "next noise", "next trailing N", "next lose-end",
    // "next error WORD...", "next done-and-error WORD", "next babble [after]",
    // "target NAME|any", "babble on|off",
    // "conf-length N", "conf-no-end", "handshake on|off", "key 0|1|2|4|8",
    // "paper out|in", "clear", "state". Answers "OK", "ERR reason", or for
    // "state" one line of JSON.
    std::string Control(const std::string& line);
    std::string StateJson() const;

    // A babbling printer talks without end and hears nothing: a line sends
    // Babble(n) whenever nothing else is due, at its own pace, until
    // "babble off". Babble() is empty while the printer does not babble.
    bool Babbling() const;
    std::string Babble(size_t n);

    // The paper: every printed document is appended to this file as UTF-8.
    bool OpenJournal(const std::string& path, std::string* error);
    // Or to a callback (tests); each call gets one whole document.
    void SetJournalSink(std::function<void(const std::string&)> sink);

    // Fiscal memory and counters in a file: loads it when it exists (a
    // damaged file is refused with a message in *error, and nothing is
    // changed), otherwise creates it; saved after every command that
    // changes anything.
    bool AttachStateFile(const std::string& path, std::string* error);

    // Clock source, seconds since the epoch (tests pin it).
    void SetClock(std::function<std::time_t()> now);

    Config config() const;
    // One line per command and reply to this sink (the --trace option).
    void SetTraceSink(std::function<void(const std::string&)> sink);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Runs a Printer on a pseudo-terminal (link) or a serial device.
class PtyPrinter {
public:
    struct Options {
        std::string link;     // symlink to the pty slave; replaced when stale
        std::string device;   // or: a real serial device (null-modem cable)
        std::string control;  // Unix-domain control socket path, optional
        bool wireSpeed = false;  // pace sent bytes like 115200 baud 8E2
    };

    PtyPrinter(Printer& printer, const Options& options);
    ~PtyPrinter();  // Stop()
    PtyPrinter(const PtyPrinter&) = delete;
    PtyPrinter& operator=(const PtyPrinter&) = delete;

    // Opens the line, starts the thread, then creates the link and the
    // control socket: once the link exists the printer answers.
    bool Start(std::string* error);
    // Stops the thread, removes the link and the control socket. Idempotent.
    void Stop();
    // The pty slave path (or the device path).
    std::string LinePath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace m301sim
