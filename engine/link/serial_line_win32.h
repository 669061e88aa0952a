// The Win32 serial line: a COM port opened for overlapped I/O.
//
// Every OVERLAPPED lives in this object, never on a caller's stack: a comm-
// event wait that outlives its time-out is taken up again by the next
// WaitEvent (or cancelled by Purge and Close), and a write stays here until
// it has completed. No late completion can reach freed storage.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/link/serial_line.h"

namespace brenvik {

class Win32SerialLine final : public SerialLine {
public:
    Win32SerialLine() = default;
    ~Win32SerialLine() override;
    Win32SerialLine(const Win32SerialLine&) = delete;
    Win32SerialLine& operator=(const Win32SerialLine&) = delete;

    bool Open(const char* name) override;
    bool IsOpen() const override { return port_ != INVALID_HANDLE_VALUE; }
    bool SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override;
    bool SetEventMask(uint32_t events) override;
    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetTimeouts(const LineTimeouts& timeouts) override;
    void Purge() override;
    void SetDtr(bool raised) override;
    uint32_t ClearErrors() override;
    void Write(const uint8_t* data, uint32_t count) override;
    WaitStatus WaitEvent(uint32_t timeoutMs, uint32_t& events) override;
    WaitStatus Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) override;
    void Sleep(uint32_t ms) override;
    uint64_t NowMs() override;
    void Close() override;

    LineFailure OpenFailure() const override { return openFailure_; }
    // GetLastError() of the last failed call, for diagnostics.
    DWORD LastError() const { return lastError_; }
    // Empty comm-event completions absorbed so far (Wine on a pty).
    uint32_t EmptyWakeUps() const { return emptyWakeUps_; }
    // Writes that found output held by a stale XOFF and released it.
    uint32_t XoffReleases() const { return xoffReleases_; }
    // Signalled comm-event waits whose status never left pending (Wine).
    uint32_t StuckStatuses() const { return stuckStatuses_; }

private:
    struct PendingWrite {
        OVERLAPPED overlapped{};
        std::vector<uint8_t> data;
        ~PendingWrite();
    };

    void CancelWait();
    void ReleaseStaleXoff();
    void ReapWrites(bool waitForAll);

    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::string portName_;
    // The port that took a parity setting once: only it may keep the
    // parity it reports afterwards (see SetSettings).
    std::string parityTakenBy_;
    DWORD lastError_ = 0;
    LineFailure openFailure_;
    bool Refuse(DWORD error);
    uint32_t emptyWakeUps_ = 0;
    uint32_t xoffReleases_ = 0;
    uint32_t stuckStatuses_ = 0;

    HANDLE waitEvent_ = nullptr;
    OVERLAPPED waitOverlapped_{};
    DWORD waitMask_ = 0;
    bool waitPending_ = false;
    uint32_t eventMask_ = 0;
    bool InputWaiting();

    HANDLE readEvent_ = nullptr;
    OVERLAPPED readOverlapped_{};

    std::vector<std::unique_ptr<PendingWrite>> writes_;
};

}  // namespace brenvik
