// The POSIX serial line: a terminal device driven through termios, opened
// non-blocking and locked exclusively; waits are poll() based.
//
// Port names: a device path ("/dev/ttyUSB0") is used as it is. The engine's
// "\\.\COMn" (n >= 1) becomes $BRENVIK_PORTS_DIR/comN when that variable is
// set and the entry exists (a directory of links, as Wine's dosdevices),
// otherwise /dev/ttyS{n-1}.
//
// Baud rates: the printer's list. 14400 and 56000 have no termios constant;
// they are set through termios2 on Linux and refused (SetSettings fails)
// where that is missing, rather than configure some other rate silently.
//
// Flow control: with IXON the terminal driver takes a received XOFF (0x13)
// out of the input and stops our output on it; the printer's XON (0x00)
// stays in the input, and with IXANY any received byte resumes output. See
// the notes in the .cpp on what that means for replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/link/serial_line.h"

namespace brenvik {

class PosixSerialLine final : public SerialLine {
public:
    PosixSerialLine() = default;
    ~PosixSerialLine() override;
    PosixSerialLine(const PosixSerialLine&) = delete;
    PosixSerialLine& operator=(const PosixSerialLine&) = delete;

    // The device path that `name` stands for, or "" for a name that is
    // neither a device path nor "\\.\COMn" with n >= 1.
    static std::string ResolvePortName(const char* name);

    bool Open(const char* name) override;
    bool IsOpen() const override { return fd_ >= 0; }
    bool SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override;
    bool SetEventMask(uint32_t events) override;
    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetTimeouts(const LineTimeouts& timeouts) override;
    void Purge() override;
    void SetDtr(bool raised) override;
    void ClearLineError() override {}  // termios keeps no sticky line error
    uint32_t ClearErrors() override;
    void Write(const uint8_t* data, uint32_t count) override;
    WaitStatus WaitEvent(uint32_t timeoutMs, uint32_t& events) override;
    WaitStatus Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) override;
    void Sleep(uint32_t ms) override;
    uint64_t NowMs() override;
    void Close() override;

    LineFailure OpenFailure() const override { return openFailure_; }
    // errno of the last failed system call, for diagnostics and tests.
    int LastError() const { return lastError_; }

private:
    void FlushPending();
    uint32_t OutputQueued() const;
    int DrainPollInterval(uint32_t queued) const;
    // Non-blocking read into rx_, up to the input queue size; false when the
    // terminal is gone.
    bool FillInput();
    uint32_t Buffered() const { return rxEnd_ - rxStart_; }

    int fd_ = -1;
    int lastError_ = 0;
    LineFailure openFailure_;
    bool Refuse(int error);
    uint32_t eventMask_ = 0;
    uint32_t inQueueSize_ = 1024;
    bool txEmptyPending_ = false;
    bool hungUp_ = false;
    // A pseudo-terminal hands written bytes straight to the far side: once
    // nothing is pending, the output queue is empty without asking.
    bool outputQueueless_ = false;
    // Bytes ClearErrors took from the terminal and Read has not handed out
    // yet; ClearErrors counts them as waiting.
    uint8_t rx_[4096] = {};
    uint32_t rxStart_ = 0;
    uint32_t rxEnd_ = 0;
    // Bytes a Write could not hand to the driver yet (output stopped by
    // XOFF or a full queue); sent from later waits and reads.
    std::vector<uint8_t> pending_;
    // With parity checked, the terminal marks (PARMRK) rather than zeroes
    // a byte received with a parity error; the marks are undone on reading.
    bool markedErrors_ = false;
    uint8_t markState_ = 0;
    uint32_t Unmark(uint8_t* data, uint32_t n);
    // What termios cannot hold is kept as it was last set.
    LineSettings cached_;
    LineTimeouts timeouts_;
};

// PARMRK marking undone in place over data[0..n): a byte received with a
// parity or framing error arrives as 0xFF 0x00 byte and is kept as the byte
// (Windows hands it on the same way, instead of a zero that would cut every
// text after it); a received 0xFF arrives doubled and is kept once. `state`
// carries a mark split between two reads. Returns the bytes kept.
uint32_t UnmarkLineErrors(uint8_t* data, uint32_t n, uint8_t& state);

}  // namespace brenvik
