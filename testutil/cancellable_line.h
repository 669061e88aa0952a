// A serial line that a second thread can cut short. The engine waits on its
// line for seconds at a time (a silent printer: one second per handshake
// and a three-second DTR pulse, six seconds per reply) and has no way to be
// interrupted; this wrapper waits in short slices instead and, once
// Cancel() is called, closes the real line on the engine's own thread at
// the next slice and fails every call after it. The engine then runs out of
// its steps at once (a closed line is silence to it) and returns.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/link/serial_line.h"

namespace brenvik {
namespace testutil {

class CancellableLine final : public SerialLine {
public:
    // `sliceMs`: the longest a cancelled call keeps waiting.
    explicit CancellableLine(SerialLine& inner, uint32_t sliceMs = 50);

    // Any thread. The call in progress ends within one slice.
    void Cancel() { cancelled_.store(true); }
    // Before the next call, from the thread that starts it.
    void Rearm() { cancelled_.store(false); }
    bool Cancelled() const { return cancelled_.load(); }

    bool Open(const char* name) override;
    bool IsOpen() const override;
    LineFailure OpenFailure() const override;
    bool SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override;
    bool SetEventMask(uint32_t events) override;
    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetTimeouts(const LineTimeouts& timeouts) override;
    void Purge() override;
    void SetDtr(bool raised) override;
    uint32_t ClearErrors() override;
    void ClearLineError() override;
    void Write(const uint8_t* data, uint32_t count) override;
    WaitStatus WaitEvent(uint32_t timeoutMs, uint32_t& events) override;
    WaitStatus Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) override;
    void Sleep(uint32_t ms) override;
    uint64_t NowMs() override;
    void Close() override;

private:
    // True once cancelled; the first call to see it closes the real line
    // (DTR dropped, as a normal close does).
    bool Stopped();
    uint32_t Slice(uint64_t started, uint32_t timeoutMs);

    SerialLine& inner_;
    const uint32_t sliceMs_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace testutil
}  // namespace brenvik
