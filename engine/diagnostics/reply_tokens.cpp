// Interpretation of a collected reply: the data pass, then "DONE", then the
// error words. The last error word in a reply wins.
#include <cstdio>
#include <cstring>

#include "engine/diagnostics/error_table.h"
#include "engine/printer_engine.h"

namespace brenvik {

namespace {

bool At(const std::vector<uint8_t>& q, size_t p, const char* word) {
    // Most positions fail on the first letter; spare them the full compare.
    if (p >= q.size() || q[p] != static_cast<uint8_t>(word[0])) return false;
    size_t n = std::strlen(word);
    return p + n <= q.size() && std::memcmp(q.data() + p, word, n) == 0;
}

// Two digits at p+15 and p+16 of "MEM_ERROR_CODE_nn" / "RTC_ERROR_CODE_nn".
int CodeDigits(const std::vector<uint8_t>& q, size_t p) {
    if (p + 17 > q.size()) return -1;
    uint8_t a = q[p + 15], b = q[p + 16];
    if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
    return (a - '0') * 10 + (b - '0');
}

}  // namespace

void PrinterEngine::StoreErrorCode(const char* word) { CopyText(ErrorCode, sizeof ErrorCode, word); }

void PrinterEngine::InterpretReply() {
    if (KeepLastReply) LastReply.assign(RxQueue.begin(), RxQueue.end());
    DataPass();
    if (!DonePass()) ErrorPass();
    RxQueue.clear();
}

bool PrinterEngine::DonePass() {
    for (size_t p = 0; p < RxQueue.size(); ++p) {
        if (At(RxQueue, p, "DONE")) {
            WriteLog("Команда выполнена успешно. Получен DONE");
            ErrorCode[0] = '\0';
            doneSeen_ = true;
            RxQueue.clear();
            return true;
        }
    }
    return false;
}

void PrinterEngine::ErrorPass() {
    auto report = [this](uint32_t number, const char* word) {
        SetError(number);
        StoreErrorCode(word);
    };
    auto family = [&](size_t p, const char* prefix) {
        for (size_t i = 0; i < kErrorTableSize; ++i) {
            const ErrorEntry& e = kErrorTable[i];
            if (e.word && std::strncmp(e.word, prefix, 4) == 0 && At(RxQueue, p, e.word))
                report(e.number, e.word);
        }
    };
    for (size_t p = 0; p < RxQueue.size(); ++p) {
        // Every word begins with one of these letters; the rest of a reply
        // is passed over at the cost of one compare.
        const uint8_t c = RxQueue[p];
        if (c != 'S' && c != 'M' && c != 'R' && c != 'H') continue;
        if (At(RxQueue, p, "SOFT")) family(p, "SOFT");
        if (At(RxQueue, p, "MEM_ERRO")) {
            int d = CodeDigits(RxQueue, p);
            uint32_t number = d >= 1 && d <= 25 ? 49 + d : d == 27 ? 83 : d == 28 ? 84 : 0;
            if (number) {
                char word[20];
                std::snprintf(word, sizeof word, "MEM_ERROR_CODE_%02d", d);
                report(number, word);
            }
        }
        if (At(RxQueue, p, "RTC_ERRO")) {
            int d = CodeDigits(RxQueue, p);
            if (d >= 1 && d <= 5) {
                char word[20];
                std::snprintf(word, sizeof word, "RTC_ERROR_CODE_%02d", d);
                report(74 + static_cast<uint32_t>(d), word);
            }
        }
        if (At(RxQueue, p, "HARD")) family(p, "HARD");
        if (At(RxQueue, p, "SHUTDOWN")) report(19, "SHUTDOWN");
    }
}

}  // namespace brenvik
