// ReplyReader: collect the printer's answer until its READY block, then
// interpret it. Every command takes this road after SendCommand.
#include <algorithm>
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {
// A wait that keeps failing (not timing out) is a dead port; after this many
// in a row it counts as silence instead of spinning forever.
constexpr int kMaxFailedWaits = 64;
}  // namespace

WaitStatus PrinterEngine::WaitForPort(uint32_t timeoutMs, uint32_t& events) {
    SerialLine& line = *platform_.line;
    WaitStatus status = WaitStatus::Failed;
    for (int failed = 0; failed < kMaxFailedWaits && status == WaitStatus::Failed; ++failed) {
        if (logPendingSize_ == 0 || timeoutMs <= kLogFlushAfterMs) {
            status = line.WaitEvent(timeoutMs, events);
            continue;
        }
        status = line.WaitEvent(kLogFlushAfterMs, events);
        if (status != WaitStatus::TimedOut) continue;
        FlushLog();
        status = line.WaitEvent(timeoutMs - kLogFlushAfterMs, events);
    }
    return status;
}

void PrinterEngine::ReplyReader() {
    CollectReply();
    InterpretReply();
}

bool PrinterEngine::EndOfAnswer() {
    static const char kReady[] = "READY";
    if (RxQueue.size() < readySearchFrom_) {  // emptied since the last test
        readySearchFrom_ = 0;
        readyAt_ = SIZE_MAX;
    }
    if (readyAt_ == SIZE_MAX) {
        auto from = RxQueue.begin() + static_cast<std::ptrdiff_t>(readySearchFrom_);
        auto it = std::search(from, RxQueue.end(), kReady, kReady + 5);
        if (it == RxQueue.end()) {
            // A READY may still be completed by the next piece.
            readySearchFrom_ = RxQueue.size() >= 4 ? RxQueue.size() - 4 : 0;
            return false;
        }
        readyAt_ = static_cast<size_t>(it - RxQueue.begin());
        readySearchFrom_ = RxQueue.size();
    }
    // Only the first READY counts, followed by exactly two bytes.
    return RxQueue.size() - readyAt_ == 7;
}

void PrinterEngine::CollectReply() {
    SerialLine& line = *platform_.line;
    ErrorNumber = 0;
    CNALReplyBad = 0;
    CONfReplyBad = 0;
    dataReplySwitch_ = true;
    blocksSeen_ = 0;
    replyComplete_ = false;
    readySearchFrom_ = 0;
    readyAt_ = SIZE_MAX;

    auto timedOut = [this](const char* logLine) {
        WriteLog("%s", logLine);
        RaiseError(kErrTimeout);
    };

    bool waiting = line.IsOpen();
    if (!waiting) timedOut("Таймаут чтения от регистратора");  // nothing can answer a closed port
    while (waiting) {
        uint32_t events = 0;
        if (WaitForPort(ReplySilenceMs, events) != WaitStatus::Signalled) {
            timedOut("Таймаут чтения от регистратора");
            break;
        }
        if (!(events & kEventRxChar)) continue;  // EV_TXEMPTY: a new silent stretch begins

        uint8_t buffer[1025];  // the spare byte stops the conversion at the end
        uint32_t count = line.ClearErrors();
        if (count > 1024) count = 1024;
        if (count == 0) continue;
        uint32_t got = 0;
        if (line.Read(buffer, count, ReadTimeout, got) != WaitStatus::Signalled) {
            timedOut("Таймаут чтения от регистратора в ReadFile");
            waiting = false;
        }
        if (got > count) got = count;
        buffer[got] = 0;  // what a zero-filled buffer would hold after the bytes read
        FromPrinterCodePage(reinterpret_cast<char*>(buffer));
        RxQueue.insert(RxQueue.end(), buffer, buffer + got);
        if (EndOfAnswer()) {
            replyComplete_ = waiting;  // not when the read itself timed out
            waiting = false;
        }
    }

    char text[1024];
    size_t n = 0;
    for (QueueCursor = 0; QueueCursor < RxQueue.size() && n < sizeof text - 1; ++QueueCursor)
        text[n++] = static_cast<char>(RxQueue[QueueCursor]);
    text[n] = '\0';
    WriteLog("Данные ИЗ регистратора: %s", text);
    QueueCursor = 0;
}

}  // namespace brenvik
