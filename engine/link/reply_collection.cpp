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

PrinterEngine::Collected PrinterEngine::Collect(uint32_t silenceMs) {
    SerialLine& line = *platform_.line;
    readySearchFrom_ = 0;
    readyAt_ = SIZE_MAX;
    // Each silent stretch is timed on its own; the whole is bounded too,
    // so a line that never stops sending cannot keep us here.
    const uint64_t started = line.NowMs();
    const uint64_t longest = std::max<uint64_t>(kLongestReplyMs, 3ull * silenceMs);
    bool graced = false;
    for (;;) {
        if (RxQueue.size() > kMaxReplyBytes || line.NowMs() - started > longest) return Collected::Overrun;
        uint32_t events = 0;
        if (WaitForPort(silenceMs, events) != WaitStatus::Signalled) return Collected::Silence;
        if (!(events & kEventRxChar)) continue;  // EV_TXEMPTY: a new silent stretch begins

        uint8_t buffer[1025];  // the spare byte stops the conversion at the end
        uint32_t count = line.ClearErrors();
        if (count > 1024) count = 1024;
        if (count == 0) continue;
        uint32_t got = 0;
        const bool stalled = line.Read(buffer, count, ReadTimeout, got) != WaitStatus::Signalled;
        if (got > count) got = count;
        buffer[got] = 0;  // what a zero-filled buffer would hold after the bytes read
        FromPrinterCodePage(reinterpret_cast<char*>(buffer));
        RxQueue.insert(RxQueue.end(), buffer, buffer + got);
        while (!EndOfAnswer() && lateReplyPossible_ && readyAt_ != SIZE_MAX && RxQueue.size() > readyAt_ + 7 &&
               RxQueue[readyAt_ + 7] == 0xFD) {
            // A whole reply, then the start of another: the printer answers
            // in turn, so the first is the late one of an earlier command.
            std::vector<uint8_t> rest(RxQueue.begin() + static_cast<std::ptrdiff_t>(readyAt_ + 7), RxQueue.end());
            RxQueue.resize(readyAt_ + 7);
            DropReceived();
            RxQueue.swap(rest);
        }
        if (EndOfAnswer()) {
            // After a reply that did not come in time, the one just read may
            // be it: the printer then sends this command's own right after.
            if (lateReplyPossible_ && !stalled && !graced) {
                graced = true;
                uint32_t more = 0;
                if (WaitForPort(kLateReplyGraceMs, more) == WaitStatus::Signalled && (more & kEventRxChar)) continue;
            }
            return stalled ? Collected::StalledAnswer : Collected::Answer;
        }
        if (stalled) return Collected::Stalled;
    }
}

void PrinterEngine::CollectReply() {
    SerialLine& line = *platform_.line;
    ErrorNumber = 0;
    CNALReplyBad = 0;
    CONfReplyBad = 0;
    dataReplySwitch_ = true;
    blocksSeen_ = 0;
    replyComplete_ = false;
    doneSeen_ = false;

    Collected how = Collected::Silence;
    if (line.IsOpen()) how = Collect(ReplySilenceMs);  // nothing can answer a closed port
    switch (how) {
    case Collected::Answer:
        replyComplete_ = true;
        break;
    case Collected::Silence:
        WriteLog("Таймаут чтения от регистратора");
        RaiseError(kErrTimeout);
        break;
    case Collected::Stalled:
    case Collected::StalledAnswer:
        WriteLog("Таймаут чтения от регистратора в ReadFile");
        RaiseError(kErrTimeout);
        break;
    case Collected::Overrun:
        WriteLog("E:Регистратор не прекращает передачу: принято %u байт", static_cast<unsigned>(RxQueue.size()));
        // What such a line sent is no answer: nothing of it is interpreted.
        dataReplySwitch_ = false;
        RaiseError(kErrEndlessReply);
        break;
    }
    lastReplyBytes_ = RxQueue.size();
    // A reply that did not come in time may still come, in front of the
    // next command's own.
    lateReplyPossible_ = how != Collected::Answer && how != Collected::Overrun;
    // Half a reply: its rest may still come, after the next command is sent.
    owedReply_ = !RxQueue.empty() && readyAt_ == SIZE_MAX &&
                 (how == Collected::Silence || how == Collected::Stalled);
    if (owedReply_) owedHead_ = RxQueue;

    char text[1024];
    size_t n = 0;
    for (QueueCursor = 0; QueueCursor < RxQueue.size() && n < sizeof text - 1; ++QueueCursor)
        text[n++] = static_cast<char>(RxQueue[QueueCursor]);
    text[n] = '\0';
    WriteLog("Данные ИЗ регистратора: %s", text);
    QueueCursor = 0;
    if (how == Collected::Overrun) RxQueue.clear();
}

void PrinterEngine::DropReceived() {
    if (!RxQueue.empty()) {
        char text[1024];
        const size_t n = std::min(RxQueue.size(), sizeof text - 1);
        std::memcpy(text, RxQueue.data(), n);
        text[n] = '\0';
        WriteLog("Отброшены данные от регистратора: %s", text);
    }
    RxQueue.clear();
    readySearchFrom_ = 0;
    readyAt_ = SIZE_MAX;
}

void PrinterEngine::SettleOwedReply() {
    owedReply_ = false;
    owedHead_.clear();
    if (!platform_.line->IsOpen()) return;
    RxQueue.clear();
    Collect(ReplySilenceMs);
    DropReceived();
}

bool PrinterEngine::AwaitLateReply() {
    // The part of the reply that came already is its beginning.
    RxQueue.clear();
    if (owedReply_) RxQueue.swap(owedHead_);
    owedReply_ = false;
    owedHead_.clear();
    const size_t head = RxQueue.size();
    const Collected how = platform_.line->IsOpen() ? Collect(ReplySilenceMs) : Collected::Silence;
    if (how != Collected::Answer) {
        // Still coming, half a reply: its rest goes before the next command.
        // A reply that stayed as it was for a whole silence is given up.
        if (RxQueue.size() > head && readyAt_ == SIZE_MAX && how != Collected::Overrun) {
            owedReply_ = true;
            owedHead_ = RxQueue;
        }
        DropReceived();
        return false;
    }
    // Interpreted as the command's own reply: its data, DONE and errors.
    ErrorNumber = 0;
    dataReplySwitch_ = true;
    blocksSeen_ = 0;
    doneSeen_ = false;
    replyComplete_ = true;
    lastReplyBytes_ = RxQueue.size();
    char text[1024];
    const size_t n = std::min(RxQueue.size(), sizeof text - 1);
    std::memcpy(text, RxQueue.data(), n);
    text[n] = '\0';
    WriteLog("Поздний ответ регистратора: %s", text);
    InterpretReply();
    return true;
}

}  // namespace brenvik
