#include "testutil/cancellable_line.h"

#include <algorithm>

namespace brenvik {
namespace testutil {

CancellableLine::CancellableLine(SerialLine& inner, uint32_t sliceMs)
    : inner_(inner), sliceMs_(sliceMs == 0 ? 1 : sliceMs) {}

bool CancellableLine::Stopped() {
    if (!cancelled_.load()) return false;
    if (inner_.IsOpen()) {
        inner_.Purge();
        inner_.SetDtr(false);
        inner_.Close();
    }
    return true;
}

// What is left of `timeoutMs`, at most one slice; 0 once it has run out.
uint32_t CancellableLine::Slice(uint64_t started, uint32_t timeoutMs) {
    const uint64_t spent = inner_.NowMs() - started;
    if (spent >= timeoutMs) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(timeoutMs - spent, sliceMs_));
}

bool CancellableLine::Open(const char* name) { return !Stopped() && inner_.Open(name); }

bool CancellableLine::IsOpen() const { return !cancelled_.load() && inner_.IsOpen(); }

LineFailure CancellableLine::OpenFailure() const {
    if (cancelled_.load()) return {LineFailureKind::Other, 0, "cancelled"};
    return inner_.OpenFailure();
}

bool CancellableLine::SetQueueSizes(uint32_t inBytes, uint32_t outBytes) {
    return !Stopped() && inner_.SetQueueSizes(inBytes, outBytes);
}

bool CancellableLine::SetEventMask(uint32_t events) { return !Stopped() && inner_.SetEventMask(events); }

bool CancellableLine::GetSettings(LineSettings& settings) { return !Stopped() && inner_.GetSettings(settings); }

bool CancellableLine::SetSettings(const LineSettings& settings) {
    return !Stopped() && inner_.SetSettings(settings);
}

bool CancellableLine::SetTimeouts(const LineTimeouts& timeouts) {
    return !Stopped() && inner_.SetTimeouts(timeouts);
}

void CancellableLine::Purge() {
    if (!Stopped()) inner_.Purge();
}

void CancellableLine::SetDtr(bool raised) {
    if (!Stopped()) inner_.SetDtr(raised);
}

uint32_t CancellableLine::ClearErrors() { return Stopped() ? 0 : inner_.ClearErrors(); }

void CancellableLine::ClearLineError() {
    if (!Stopped()) inner_.ClearLineError();
}

void CancellableLine::Write(const uint8_t* data, uint32_t count) {
    if (!Stopped()) inner_.Write(data, count);
}

// The real line keeps a wait that timed out pending for the next call, so
// slices lose no event.
WaitStatus CancellableLine::WaitEvent(uint32_t timeoutMs, uint32_t& events) {
    events = 0;
    const uint64_t started = inner_.NowMs();
    for (;;) {
        if (Stopped()) return WaitStatus::Failed;
        const WaitStatus status = inner_.WaitEvent(Slice(started, timeoutMs), events);
        if (status != WaitStatus::TimedOut || Slice(started, timeoutMs) == 0) return status;
    }
}

// What arrived in a slice counts; the next slice reads on after it.
WaitStatus CancellableLine::Read(uint8_t* buffer, uint32_t count, uint32_t timeoutMs, uint32_t& got) {
    got = 0;
    const uint64_t started = inner_.NowMs();
    for (;;) {
        if (Stopped()) return WaitStatus::Failed;
        uint32_t n = 0;
        const WaitStatus status = inner_.Read(buffer + got, count - got, Slice(started, timeoutMs), n);
        got += std::min(n, count - got);
        if (got >= count) return WaitStatus::Signalled;
        if (status != WaitStatus::TimedOut || Slice(started, timeoutMs) == 0) return status;
    }
}

void CancellableLine::Sleep(uint32_t ms) {
    const uint64_t started = inner_.NowMs();
    for (uint32_t slice = Slice(started, ms); slice > 0 && !Stopped(); slice = Slice(started, ms))
        inner_.Sleep(slice);
}

uint64_t CancellableLine::NowMs() { return inner_.NowMs(); }

void CancellableLine::Close() { inner_.Close(); }

}  // namespace testutil
}  // namespace brenvik
