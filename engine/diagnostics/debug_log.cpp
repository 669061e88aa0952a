// The debug log: one time-stamped line per call, appended to Pelmora.log
// beside the module; archived at load time once it passes 5000000 bytes.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/printer_engine.h"

namespace brenvik {

namespace {

void PutDigits(char* out, int value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

// "DD.MM.YYYY/hh:mm:ss " into `out` (at least 64 bytes), as printf makes it
// with "%02d.%02d.%02d/%02d:%02d:%02d "; every line has one, so a clock in
// range skips printf. Returns the length, or a negative value.
int FormatStamp(char* out, size_t size, const LocalTime& t) {
    auto twoDigits = [](int v) { return v >= 0 && v <= 99; };
    if (twoDigits(t.day) && twoDigits(t.month) && t.year >= 1000 && t.year <= 9999 && twoDigits(t.hour) &&
        twoDigits(t.minute) && twoDigits(t.second)) {
        PutDigits(out, t.day, 2);
        out[2] = '.';
        PutDigits(out + 3, t.month, 2);
        out[5] = '.';
        PutDigits(out + 6, t.year, 4);
        out[10] = '/';
        PutDigits(out + 11, t.hour, 2);
        out[13] = ':';
        PutDigits(out + 14, t.minute, 2);
        out[16] = ':';
        PutDigits(out + 17, t.second, 2);
        out[19] = ' ';
        out[20] = '\0';
        return 20;
    }
    return std::snprintf(out, size, "%02d.%02d.%02d/%02d:%02d:%02d ", t.day, t.month, t.year, t.hour,
                         t.minute, t.second);
}

}  // namespace

void PrinterEngine::WriteLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLogV(format, args);
    va_end(args);
}

void PrinterEngine::WriteLogV(const char* format, va_list args) {
    if (!LogEnabled || platform_.log == nullptr) return;
    char line[1024];
    LocalTime t = platform_.clock ? platform_.clock->Now() : LocalTime{};
    int stamp = FormatStamp(line, sizeof line, t);
    if (stamp < 0 || stamp >= 64) stamp = 0;  // a broken clock must not cost the message
    // Room for the message and the line feed; a longer message is cut so the
    // line still ends where it should.
    size_t room = sizeof line - static_cast<size_t>(stamp) - 1;
    int n = std::vsnprintf(line + stamp, room, format ? format : "", args);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) >= room) n = static_cast<int>(room - 1);
    line[stamp + n] = '\n';
    const size_t size = static_cast<size_t>(stamp + n + 1);
    if (logBatchDepth_ == 0) {
        FlushLog();  // nothing kept back may fall behind this line
        platform_.log->Append(line, size);
        return;
    }
    // Within an exchange: kept back whole, in order; a full buffer leaves
    // first. A line always fits an empty buffer.
    if (logPendingSize_ + size > sizeof logPending_) FlushLog();
    std::memcpy(logPending_ + logPendingSize_, line, size);
    logPendingSize_ += size;
}

void PrinterEngine::FlushLog() {
    if (logPendingSize_ == 0) return;
    // Whole lines in one append: O_APPEND keeps them together, so another
    // process's lines never land inside one of ours.
    if (platform_.log != nullptr) platform_.log->Append(logPending_, logPendingSize_);
    logPendingSize_ = 0;
}

void PrinterEngine::OpenLog() {
    LogEnabled = 1;
    LogFile* log = platform_.log;
    if (log == nullptr) return;
    const std::string separator(1, platform_.pathSeparator);
    const std::string path = platform_.logDirectory + separator + LogFileName;
    log->Open(path.c_str(), true);
    if (log->Size() > kLogArchiveSize) {
        WriteLog("Архивирование файла отладки ( Размер > %i )", static_cast<int>(kLogArchiveSize));
        LocalTime t = platform_.clock ? platform_.clock->Now() : LocalTime{};
        char name[32] = {};
        std::snprintf(name, sizeof name, "%02d%02d%04d%02d%02d%02d", t.day, t.month, t.year, t.hour,
                      t.minute, t.second);
        const std::string archive = platform_.logDirectory + separator + name + ".log";
        log->Close();
        log->Rename(path.c_str(), archive.c_str());
        log->Open(path.c_str(), false);
    }
    WriteLog("Log файл открыт -------------------------------------------");
    WriteLog("Корвелл Квиллон Плюс");
    WriteLog("%s", KernelVersion);
}

}  // namespace brenvik
