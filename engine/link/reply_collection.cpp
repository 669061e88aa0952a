// ReplyReader: collect the printer's answer until its READY block, then
// interpret it. Every command takes this road after SendCommand.
#include <algorithm>
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {
constexpr int kMaxFailedWaits = 64;  // see Handshake
}  // namespace

WaitStatus PrinterEngine::WaitForPort(uint32_t timeoutMs, uint32_t& events) {
    SerialLine& line = *platform_.line;
    if (logPendingSize_ == 0 || timeoutMs <= kLogFlushAfterMs) return line.WaitEvent(timeoutMs, events);
    WaitStatus status = line.WaitEvent(kLogFlushAfterMs, events);
    if (status != WaitStatus::TimedOut) return status;
    FlushLog();
    return line.WaitEvent(timeoutMs - kLogFlushAfterMs, events);
}

void PrinterEngine::ReplyReader() {
    CollectReply();
    InterpretReply();
}

bool PrinterEngine::EndOfAnswer() const {
    static const char kReady[] = "READY";
    auto it = std::search(RxQueue.begin(), RxQueue.end(), kReady, kReady + 5);
    if (it == RxQueue.end()) return false;
    return static_cast<size_t>(RxQueue.end() - it) == 7;
}

void PrinterEngine::CollectReply() {
    SerialLine& line = *platform_.line;
    ErrorNumber = 0;
    CNALReplyBad = 0;
    CONfReplyBad = 0;
    dataReplySwitch_ = true;

    auto timedOut = [this](const char* logLine) {
        WriteLog("%s", logLine);
        StoreErrorCode("CONNTIMEOUT");
        SetError(kErrTimeout);
    };

    bool waiting = line.IsOpen();
    if (!waiting) timedOut("Таймаут чтения от регистратора");  // nothing can answer a closed port
    int failedWaits = 0;
    while (waiting) {
        uint32_t events = 0;
        WaitStatus status = WaitForPort(kReplySilenceMs, events);
        if (status == WaitStatus::Failed && ++failedWaits < kMaxFailedWaits) continue;
        if (status != WaitStatus::Signalled) {
            timedOut("Таймаут чтения от регистратора");
            break;
        }
        failedWaits = 0;
        if (!(events & kEventRxChar)) continue;  // EV_TXEMPTY: a new silent stretch begins

        uint8_t buffer[1025] = {};  // the spare byte stops the conversion at the end
        uint32_t count = line.ClearErrors();
        if (count > 1024) count = 1024;
        if (count == 0) continue;
        uint32_t got = 0;
        if (line.Read(buffer, count, ReadTimeout, got) != WaitStatus::Signalled) {
            timedOut("Таймаут чтения от регистратора в ReadFile");
            waiting = false;
        }
        FromPrinterCodePage(reinterpret_cast<char*>(buffer));
        RxQueue.insert(RxQueue.end(), buffer, buffer + got);
        if (EndOfAnswer()) waiting = false;
    }

    char text[1024] = {};
    size_t n = 0;
    for (QueueCursor = 0; QueueCursor < RxQueue.size() && n < sizeof text - 1; ++QueueCursor)
        text[n++] = static_cast<char>(RxQueue[QueueCursor]);
    WriteLog("Данные ИЗ регистратора: %s", text);
    QueueCursor = 0;
}

}  // namespace brenvik
