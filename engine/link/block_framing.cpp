// One command, one block: 0xFD, text, length byte, 0xFE. The single road
// by which anything but the wake-up bytes reaches the printer.
#include <cstring>

#include "engine/printer_engine.h"

namespace brenvik {

void PrinterEngine::SendCommand(const char* text) {
    if (text == nullptr) text = "";
    const size_t length = std::strlen(text);
    if (length > kMaxCommandText) {
        // The printer takes 253 bytes after the start byte; a longer block
        // would only earn SOFTBLOCK after a wasted exchange.
        WriteLog("E:Команда длиной %u символов не отправлена", static_cast<unsigned>(length));
        RaiseError(kErrCommandTooLong);
        return;
    }

    // A service that runs for months must not grow one log to gigabytes.
    ArchiveLogIfLarge();

    uint8_t block[256] = {};
    TxQueue.push_back(0xFD);
    TxQueue.insert(TxQueue.end(), text, text + length);
    TxQueue.push_back(static_cast<uint8_t>((length + 1) & 0xFF));
    TxQueue.push_back(0xFE);

    uint32_t count = 0;
    for (QueueCursor = 0; QueueCursor < TxQueue.size() && count < sizeof block - 1; ++QueueCursor)
        block[count++] = TxQueue[QueueCursor];

    // The exchange's log lines leave in one append before we return.
    // Writing the block's line on its own while the printer works measured
    // slower on a pty.
    LogBatch batch(*this);

    if (secretLength_ == 0) {
        WriteLog("Посылка В регистратор: %s", reinterpret_cast<char*>(block));
    } else {
        // The cashier's password leaves as sent but is logged as ****.
        const size_t from = 1 + secretFrom_;
        const size_t to = from + secretLength_ < count ? from + secretLength_ : count;
        char shown[sizeof block + 4] = {};
        std::memcpy(shown, block, from < count ? from : count);
        if (from < count) {
            std::memcpy(shown + from, "****", 4);
            std::memcpy(shown + from + 4, block + to, count - to);
        }
        WriteLog("Посылка В регистратор: %s", shown);
        secretLength_ = 0;
    }
    SerialLine& line = *platform_.line;
    // The rest of a reply that stopped half-way comes first, and goes.
    if (owedReply_) SettleOwedReply();
    // Clears a line error left from before, which would abort the write, and
    // tells what waits: a reply that came after its time-out must never be
    // taken for the answer to this command.
    const uint32_t stale = line.ClearErrors();
    if (stale > 0) DiscardStaleInput(stale);
    line.Write(block, count);
    TxQueue.clear();
    ReplyReader();
}

void PrinterEngine::DiscardStaleInput(uint32_t waiting) {
    SerialLine& line = *platform_.line;
    // Bounded: a line that never stops talking still gets its command.
    for (int round = 0; round < 4 && waiting > 0; ++round) {
        uint8_t buffer[1025] = {};  // the spare byte keeps the log text terminated
        uint32_t got = 0;
        line.Read(buffer, waiting > 1024 ? 1024 : waiting, ReadTimeout, got);
        FromPrinterCodePage(reinterpret_cast<char*>(buffer));
        WriteLog("Отброшены данные от регистратора: %s", reinterpret_cast<char*>(buffer));
        if (got == 0) break;
        waiting = line.ClearErrors();
    }
}

void PrinterEngine::ToPrinterCodePage(char* text) {
    if (text == nullptr) return;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
        unsigned char c = *p;
        if (c >= 0xC0 && c <= 0xEF) c = static_cast<unsigned char>(c - 0x40);
        else if (c >= 0xF0) c = static_cast<unsigned char>(c - 0x10);
        else if (c == 0xA8) c = 0xF0;
        else if (c == 0xB8) c = 0xF1;
        else if (c == 0xAA) c = 0xF2;
        else if (c == 0xBA) c = 0xF3;
        else if (c == 0xAF) c = 0xF4;
        else if (c == 0xBF) c = 0xF5;
        else if (c == 0xB3) c = 'I';  // the printer has no small i
        *p = c;
    }
}

void PrinterEngine::FromPrinterCodePage(char* text) {
    if (text == nullptr) return;
    for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
        unsigned char c = *p;
        if (c >= 0x80 && c <= 0xAF) c = static_cast<unsigned char>(c + 0x40);
        else if (c >= 0xE0 && c <= 0xEF) c = static_cast<unsigned char>(c + 0x10);
        else if (c == 0xF0) c = 0xA8;
        else if (c == 0xF1) c = 0xB8;
        else if (c == 0xF2) c = 0xAA;
        else if (c == 0xF3) c = 0xBA;
        else if (c == 0xF4) c = 0xAF;
        else if (c == 0xF5) c = 0xBF;
        *p = c;
    }
}

}  // namespace brenvik
