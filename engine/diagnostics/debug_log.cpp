// The debug log: one time-stamped line per call, appended to Pelmora.log
// in its directory; archived once it passes 5000000 bytes, when it is
// opened and during a session at the next exchange.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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
        logSize_ += size;
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
    logSize_ += logPendingSize_;
    logPendingSize_ = 0;
}

namespace {

// DDMMYYYYhhmmss[_n].log -> "YYYYMMDDhhmmss" and n, so archives sort by
// age; false for any other name.
bool ArchiveKey(const std::string& name, std::string& key, int& n) {
    if (name.size() < 18 || name.compare(name.size() - 4, 4, ".log") != 0) return false;
    for (size_t i = 0; i < 14; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    n = 0;
    if (name.size() > 18) {
        if (name[14] != '_') return false;
        for (size_t i = 15; i < name.size() - 4; ++i) {
            if (name[i] < '0' || name[i] > '9' || n > 9999) return false;
            n = n * 10 + (name[i] - '0');
        }
    } else if (name.size() != 18) {
        return false;
    }
    key = name.substr(4, 4) + name.substr(2, 2) + name.substr(0, 2) + name.substr(8, 6);
    return true;
}

constexpr int kArchiveNameTries = 100;

}  // namespace

void PrinterEngine::ArchiveLog(const std::string& path) {
    LogFile* log = platform_.log;
    WriteLog("Архивирование файла отладки ( Размер > %i )", static_cast<int>(kLogArchiveSize));
    FlushLog();
    LocalTime t = platform_.clock ? platform_.clock->Now() : LocalTime{};
    char name[32] = {};
    std::snprintf(name, sizeof name, "%02d%02d%04d%02d%02d%02d", t.day, t.month, t.year, t.hour,
                  t.minute, t.second);
    const std::string base = platform_.logDirectory + platform_.pathSeparator + name;
    log->Close();
    // A second archiving within the same second takes the next free name
    // instead of failing on the first one's archive.
    bool moved = log->Rename(path.c_str(), (base + ".log").c_str());
    for (int n = 2; !moved && n <= kArchiveNameTries; ++n)
        moved = log->Rename(path.c_str(), (base + "_" + std::to_string(n) + ".log").c_str());
    log->Open(path.c_str(), false);
    logSize_ = log->Size();
    if (logSize_ == 0xFFFFFFFFu) logSize_ = 0;
    // A log that could not be moved (another process holds it) is tried
    // again once it has grown as much again, not at every exchange.
    logArchiveAt_ = moved ? kLogArchiveSize : logSize_ + kLogArchiveSize;
    if (moved) PruneLogArchives();
}

void PrinterEngine::PruneLogArchives() {
    if (LogArchivesKept == 0) return;
    std::vector<std::string> names;
    if (!platform_.log->List(platform_.logDirectory.c_str(), names)) return;
    std::vector<std::pair<std::pair<std::string, int>, std::string>> archives;
    for (const std::string& name : names) {
        std::string key;
        int n = 0;
        if (ArchiveKey(name, key, n)) archives.push_back({{key, n}, name});
    }
    if (archives.size() <= LogArchivesKept) return;
    std::sort(archives.begin(), archives.end());
    const size_t excess = archives.size() - LogArchivesKept;
    for (size_t i = 0; i < excess; ++i) {
        const std::string path = platform_.logDirectory + platform_.pathSeparator + archives[i].second;
        platform_.log->Remove(path.c_str());
    }
}

void PrinterEngine::ArchiveLogIfLarge() {
    if (!LogEnabled || platform_.log == nullptr) return;
    if (logSize_ + logPendingSize_ <= logArchiveAt_) return;
    const std::string path = platform_.logDirectory + platform_.pathSeparator + LogFileName;
    ArchiveLog(path);
}

void PrinterEngine::OpenLog() {
    LogEnabled = 1;
    LogFile* log = platform_.log;
    if (log == nullptr) return;
    const std::string path = platform_.logDirectory + platform_.pathSeparator + LogFileName;
    log->Open(path.c_str(), true);
    const uint32_t size = log->Size();
    logSize_ = size == 0xFFFFFFFFu ? 0 : size;
    logArchiveAt_ = kLogArchiveSize;
    // An unopenable log reports the largest size and is archived, as it
    // always was: the rename fails and the open is tried once more.
    if (size > kLogArchiveSize) ArchiveLog(path);
    WriteLog("Log файл открыт -------------------------------------------");
    WriteLog("Корвелл Квиллон Плюс");
    WriteLog("%s", KernelVersion);
}

}  // namespace brenvik
