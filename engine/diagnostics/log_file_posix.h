// The debug log's file and clock on POSIX.
#pragma once

#include "engine/diagnostics/log_file.h"

namespace brenvik {

class PosixLogFile final : public LogFile {
public:
    PosixLogFile() = default;
    ~PosixLogFile() override;
    PosixLogFile(const PosixLogFile&) = delete;
    PosixLogFile& operator=(const PosixLogFile&) = delete;

    // O_APPEND: every line lands at the end, also when several processes
    // write the same log. `shareWrite` has no meaning here (no mandatory
    // locks on POSIX).
    bool Open(const char* path, bool shareWrite) override;
    uint32_t Size() override;
    void Append(const char* data, size_t count) override;
    void Close() override;
    bool Rename(const char* from, const char* to) override;
    bool List(const char* directory, std::vector<std::string>& names) override;
    bool Remove(const char* path) override;

private:
    int fd_ = -1;
};

class PosixClock final : public Clock {
public:
    LocalTime Now() override;
};

}  // namespace brenvik
