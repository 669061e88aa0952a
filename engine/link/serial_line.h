// The serial line as the printer link needs it. One back end per platform
// (serial_line_win32.cpp, serial_line_posix.cpp) and a scripted one for tests.
// No platform type appears here.
#pragma once

#include <cstdint>
#include <string>

namespace brenvik {

// Event bits, the same values as the Win32 comm events.
enum : uint32_t {
    kEventRxChar = 0x0001,   // a byte was received
    kEventTxEmpty = 0x0004,  // the output queue ran empty
};

enum class DtrControl : uint8_t { Disable, Enable, Handshake };
enum class RtsControl : uint8_t { Disable, Enable, Handshake, Toggle };
enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OneAndHalf, Two };

// Mirrors the fields of a Win32 DCB that the engine reads and writes.
struct LineSettings {
    uint32_t baudRate = 0;
    bool binary = false;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    DtrControl dtrControl = DtrControl::Disable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;
    bool inX = false;
    bool errorCharOn = false;
    bool nullStrip = false;
    RtsControl rtsControl = RtsControl::Disable;
    bool abortOnError = false;
    uint16_t xonLim = 0;
    uint16_t xoffLim = 0;
    uint8_t byteSize = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    char xonChar = 0x11;
    char xoffChar = 0x13;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
};

// Milliseconds, as in Win32 COMMTIMEOUTS.
struct LineTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

enum class WaitStatus : uint8_t { Signalled, TimedOut, Failed };

// Why a port could not be opened, in the operating system's terms: what
// kind of failure (so that the edge can say what to do about it), its code
// (errno, GetLastError) and the system's own words, ASCII.
enum class LineFailureKind : uint8_t { None, NotFound, Denied, Busy, NotSerial, Other };
struct LineFailure {
    LineFailureKind kind = LineFailureKind::None;
    int code = 0;
    std::string text;
};

// The printer's line: the given rate, 8 data bits, even parity, two stop
// bits, XON/XOFF both ways with XON character 0, DTR raised, RTS low, abort
// on error. Fields the printer does not care about (XoffChar, ErrorChar)
// keep what the port had.
void ApplyPrinterLineSettings(LineSettings& s, uint32_t baudRate);

class SerialLine {
public:
    virtual ~SerialLine() = default;

    // Opens the port exclusively. `name` is the device-namespace name the
    // engine builds ("\\.\COM3"); back ends may also accept a device path.
    virtual bool Open(const char* name) = 0;
    virtual bool IsOpen() const = 0;
    // Why the last Open failed; kind None after one that succeeded.
    virtual LineFailure OpenFailure() const { return {}; }
    virtual bool SetQueueSizes(uint32_t inBytes, uint32_t outBytes) = 0;
    virtual bool SetEventMask(uint32_t events) = 0;
    virtual bool GetSettings(LineSettings& settings) = 0;
    virtual bool SetSettings(const LineSettings& settings) = 0;
    virtual bool SetTimeouts(const LineTimeouts& timeouts) = 0;
    // Aborts pending reads and writes and empties both queues.
    virtual void Purge() = 0;
    virtual void SetDtr(bool raised) = 0;
    // Clears a pending line error; returns the number of received bytes
    // waiting in the input queue.
    virtual uint32_t ClearErrors() = 0;
    // Clears a pending line error when the count is not wanted (before a
    // write); a back end without sticky line errors makes it free.
    virtual void ClearLineError() { ClearErrors(); }
    // Starts writing the whole buffer; does not wait for it to leave.
    virtual void Write(const uint8_t* data, uint32_t count) = 0;
    // Waits up to timeoutMs for an event of the mask; `events` receives the
    // events that occurred. Spurious wake-ups with no event (Wine's pty does
    // that every few milliseconds) are absorbed inside the same time-out, so
    // Signalled always carries an event and a silent line always ends in
    // TimedOut. A wait that times out stays owned by the back end: a late
    // completion never writes into the caller's storage.
    virtual WaitStatus WaitEvent(uint32_t timeoutMs, uint32_t& events) = 0;
    // Reads exactly `count` bytes unless timeoutMs passes first; `got`
    // receives how many arrived (also on a time-out).
    virtual WaitStatus Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Milliseconds of a clock that only goes forward, for bounding how long
    // the engine listens to a line that never falls silent.
    virtual uint64_t NowMs() = 0;
    virtual void Close() = 0;
};

}  // namespace brenvik
