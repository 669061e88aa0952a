// The debug log: one time-stamped line per call, appended to Pelmora.log
// beside the module; archived at load time once it passes 5000000 bytes.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "engine/printer_engine.h"

namespace brenvik {

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
    int stamp = std::snprintf(line, sizeof line, "%02d.%02d.%02d/%02d:%02d:%02d ", t.day, t.month,
                              t.year, t.hour, t.minute, t.second);
    if (stamp < 0 || stamp >= 64) stamp = 0;  // a broken clock must not cost the message
    // Room for the message and the line feed; a longer message is cut so the
    // line still ends where it should.
    size_t room = sizeof line - static_cast<size_t>(stamp) - 1;
    int n = std::vsnprintf(line + stamp, room, format ? format : "", args);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) >= room) n = static_cast<int>(room - 1);
    line[stamp + n] = '\n';
    platform_.log->Append(line, static_cast<size_t>(stamp + n + 1));
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
