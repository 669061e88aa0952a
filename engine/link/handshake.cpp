// Waking the printer: five 'U' bytes, then wait for its READY block.
#include <algorithm>
#include <cstdint>

#include "engine/printer_engine.h"

namespace brenvik {

uint32_t PrinterEngine::ConnectTimeLeft() {
    if (ConnectBudgetMs == 0) return UINT32_MAX;
    const uint64_t spent = platform_.line->NowMs() - connectStarted_;
    return spent >= ConnectBudgetMs ? 0 : static_cast<uint32_t>(ConnectBudgetMs - spent);
}

int32_t PrinterEngine::Handshake() {
    SerialLine& line = *platform_.line;
    WriteLog("Попытка соединения с ЭККР Мария 301МТМ...");
    bool keepListening = true;
    line.Purge();
    RxQueue.clear();
    readySearchFrom_ = 0;
    readyAt_ = SIZE_MAX;
    const uint8_t wake = 'U';
    for (int i = 0; i < 5; ++i) {
        line.Sleep(10);
        line.Write(&wake, 1);
    }
    line.Sleep(10);

    // Every byte restarts the silent second: a line that never stops
    // sending is given up after a bounded while, like a silent one.
    const uint64_t started = line.NowMs();
    for (;;) {
        if (RxQueue.size() > kMaxReplyBytes || line.NowMs() - started > kLongestHandshakeMs) {
            WriteLog("E:Регистратор не прекращает передачу при установке связи");
            break;
        }
        uint32_t events = 0;
        const uint32_t silence = std::min(kHandshakeSilenceMs, ConnectTimeLeft());
        if (silence == 0 || WaitForPort(silence, events) != WaitStatus::Signalled) break;  // silence
        if (events & kEventRxChar) {
            uint8_t buffer[1025];  // one spare byte keeps the log text terminated
            uint32_t waiting = line.ClearErrors();
            if (waiting > 1024) waiting = 1024;
            if (waiting > 0) {
                uint32_t got = 0;
                if (line.Read(buffer, waiting, ReadTimeout, got) != WaitStatus::Signalled) {
                    WriteLog("Таймаут в ReadFile при установке связи");
                    Connected = 0;
                    keepListening = false;
                }
                if (got > waiting) got = waiting;
                buffer[got] = 0;
                WriteLog("Ответ при соединении с регистратором: %s", reinterpret_cast<char*>(buffer));
                RxQueue.insert(RxQueue.end(), buffer, buffer + got);
                if (EndOfAnswer()) {
                    keepListening = false;
                    WriteLog("Связь успешно установлена");
                    Connected = 1;
                }
            }
        }
        if (!keepListening) {
            RxQueue.clear();
            line.Purge();
            return Connected;
        }
    }

    // A silent second (or endless noise): pulse DTR so a printer that hung
    // on the line resets.
    if (ConnectTimeLeft() >= kDtrPulseMs) {
        line.SetDtr(false);
        line.Sleep(kDtrPulseMs);
        line.SetDtr(true);
    }
    WriteLog("Таймаут при установке связи");
    Connected = 0;
    RxQueue.clear();
    line.Purge();
    return 0;
}

}  // namespace brenvik
