// The debug log's file and the local clock. One back end per platform
// (log_file_win32.cpp, log_file_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brenvik {

class LogFile {
public:
    virtual ~LogFile() = default;
    // Opens or creates `path` for appending. `shareWrite` lets other
    // processes write the file at the same time.
    virtual bool Open(const char* path, bool shareWrite) = 0;
    // Size in bytes; 0xFFFFFFFF when the file is not open.
    virtual uint32_t Size() = 0;
    // Appends whole lines (one or several) at the end of the file with one
    // write, so another process's lines never land inside them.
    virtual void Append(const char* data, size_t count) = 0;
    virtual void Close() = 0;
    // Never replaces an existing `to`.
    virtual bool Rename(const char* from, const char* to) = 0;
    // The names (without directory) of the files in `directory`; for the
    // archives kept. A back end without it keeps every archive.
    virtual bool List(const char* directory, std::vector<std::string>& names) {
        (void)directory;
        names.clear();
        return false;
    }
    virtual bool Remove(const char* path) {
        (void)path;
        return false;
    }
};

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() = 0;
};

}  // namespace brenvik
