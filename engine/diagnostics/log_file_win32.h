// The debug log's file and clock on Win32.
#pragma once

#include <windows.h>

#include "engine/diagnostics/log_file.h"

namespace brenvik {

class Win32LogFile final : public LogFile {
public:
    Win32LogFile() = default;
    ~Win32LogFile() override;
    Win32LogFile(const Win32LogFile&) = delete;
    Win32LogFile& operator=(const Win32LogFile&) = delete;

    // Opened for appending only: every WriteFile lands at the current end of
    // the file, so two processes sharing the log never overwrite each
    // other's lines (a separate seek and write could).
    bool Open(const char* path, bool shareWrite) override;
    uint32_t Size() override;
    void Append(const char* data, size_t count) override;
    void Close() override;
    bool Rename(const char* from, const char* to) override;
    bool List(const char* directory, std::vector<std::string>& names) override;
    bool Remove(const char* path) override;

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

class Win32Clock final : public Clock {
public:
    LocalTime Now() override;
};

}  // namespace brenvik
